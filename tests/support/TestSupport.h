#ifndef ONDIRA_TESTS_TESTSUPPORT_H
#define ONDIRA_TESTS_TESTSUPPORT_H

// Helpers shared by the test suites.

#include <ondira/IDataConsumer.h>
#include <ondira/OndiraData.h>
#include <ondira/PData.h>
#include <ondira/StatusData.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ondira_test {

/// Waits until `condition` holds, checking it every few milliseconds, for at
/// most `timeout`. Returns the condition's last value.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));

/// Makes a fresh temporary folder the working directory for its lifetime, so
/// that "log.txt" of one test never meets another's.
class ScopedWorkingDirectory
{
public:
    ScopedWorkingDirectory();
    ~ScopedWorkingDirectory();

    QString path() const { return dir.path(); }
    /// Content of a file in the folder; empty when it does not exist.
    QByteArray readFile(const char* name) const;

private:
    QTemporaryDir dir;
    QString previous;
};

/// Captures the debug messages handed to Qt's message output while it lives.
class TraceCapture
{
public:
    TraceCapture();
    ~TraceCapture();

    QStringList messages() const;
    /// Messages equal to `text`.
    int count(const QString& text) const;
    /// Index of the first message equal to `text` at or after `from`; -1 if none.
    int indexOf(const QString& text, int from = 0) const;
    bool waitForMessage(const QString& text,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    void clear();
};

/// A consumer that copies every record it receives. Thread-safe.
class RecordingConsumer : public IDataConsumer
{
public:
    /// What the consumer is registered for: its records are read as such.
    enum Kind { Samples, Statuses };
    explicit RecordingConsumer(Kind kind) : kind(kind) {}

    void receiveData(PData& data) override;

    // For a consumer registered as a sample consumer.
    std::vector<OndiraData> samples() const;
    std::size_t sampleCount() const;
    // For a consumer registered as a status consumer.
    std::vector<StatusData::statusCode> statuses() const;
    std::size_t statusCount() const;
    int countStatus(StatusData::statusCode code) const;

    bool waitForSamples(std::size_t count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    bool waitForStatus(StatusData::statusCode code, int count = 1,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    void clear();

private:
    mutable std::mutex mutex;
    const Kind kind;
    std::vector<OndiraData> sampleRecords;
    std::vector<StatusData::statusCode> statusRecords;
};

} // namespace ondira_test

#endif
