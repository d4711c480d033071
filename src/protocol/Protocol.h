#ifndef ONDIRA_PROTOCOL_PROTOCOL_H
#define ONDIRA_PROTOCOL_PROTOCOL_H

namespace ondira {

/// A byte-stream protocol: fed one received byte at a time.
class Protocol
{
public:
    /// Consumes one byte; true when the caller has an event to act on.
    virtual bool processByte(unsigned char byte) = 0;
    virtual int getStatus() = 0;
    /// The last complete sample; the buffer belongs to the protocol object.
    virtual const unsigned char* getLastSample() = 0;

protected:
    // Never destroyed through this interface.
    ~Protocol() = default;
};

} // namespace ondira

#endif
