#ifndef ONDIRA_LSL_STREAMINFO_H
#define ONDIRA_LSL_STREAMINFO_H

#include <cstdint>
#include <string>
#include <vector>

namespace ondira {
namespace lsl {

/// What one value of a sample is on the wire.
enum class ChannelFormat {
    Float32, ///< four bytes, IEEE 754, little-endian
    String, ///< a length and that many bytes (one channel only, here)
};

/// The stream an outlet publishes: what inlets see in its XML and query it by.
struct StreamInfo
{
    std::string name; ///< required; e.g. "Ondira"
    std::string type; ///< "EEG", "Markers", ...
    int channelCount = 1; ///< 1..1024; a String stream has exactly one
    double nominalRate = 0; ///< samples per second; 0 for an irregular stream
    ChannelFormat format = ChannelFormat::Float32;
    /// Names the data source so that an inlet finds the same stream again
    /// after the outlet restarts (its uid changes). Empty means that inlets
    /// cannot recover the stream.
    std::string sourceId;

    /// desc/channels/channel: one per channel, or none. Empty fields are left out.
    struct Channel
    {
        std::string label, unit, type;
    };
    std::vector<Channel> channels;

    /// desc/acquisition/<name>value</name>: manufacturer, model, firmware, ...
    /// A name is an XML name of letters, digits, '_', '-' and '.' that starts
    /// with a letter or '_'.
    struct Field
    {
        std::string name, value;
    };
    std::vector<Field> acquisition;
};

/// What an outlet assigns to its stream when it starts.
struct StreamIdentity
{
    std::string uid; ///< new at every start
    std::string sessionId; ///< LSL's session id ("default" unless a lab sets one)
    std::string hostname;
    double createdAt = 0; ///< localClock() at the start
    std::uint16_t dataPort = 0;
    std::uint16_t servicePort = 0;
};

/// Empty when `info` can be published; otherwise what is wrong with it, for a
/// person to read. Text fields are bounded (256 bytes each, so that the short
/// info fits one datagram), printable (no control characters but tab and line
/// breaks), and the channel list is empty or has one entry per channel.
std::string checkStreamInfo(const StreamInfo& info);

/// The short info (everything but the description: what discovery answers) or
/// the full info (with desc: what LSL:fullinfo answers).
enum class InfoPart { Short, Full };

/// The stream's XML as LSL sends it: an <info> element whose children are, in
/// this order, name, type, channel_count, channel_format, source_id,
/// nominal_srate, version, created_at, uid, session_id, hostname, v4address,
/// v4data_port, v4service_port, v6address, v6data_port, v6service_port and
/// desc; numbers with 16 significant digits and a decimal point
/// (250.0000000000000), tab-indented, after <?xml version="1.0"?>.
std::string infoXml(const StreamInfo& info, const StreamIdentity& identity, InfoPart part);

/// A number as the stream's XML writes it: 16 significant digits, always with a
/// decimal point, independent of the C locale.
std::string formatInfoNumber(double value);

/// The sampling rate an inlet reads back from the XML: the value of
/// formatInfoNumber(rate), parsed. Inlets deduce timestamps with this value.
double rateAsSeen(double nominalRate);

} // namespace lsl
} // namespace ondira

#endif
