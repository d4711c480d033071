#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QtGlobal>

#include <thread>

namespace ondira_test {

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

ScopedWorkingDirectory::ScopedWorkingDirectory()
    : previous(QDir::currentPath())
{
    QDir::setCurrent(dir.path());
}

ScopedWorkingDirectory::~ScopedWorkingDirectory()
{
    QDir::setCurrent(previous);
}

QByteArray ScopedWorkingDirectory::readFile(const char* name) const
{
    QFile file(dir.filePath(QString::fromLatin1(name)));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

namespace {
std::mutex traceMutex;
QStringList traceMessages;
QtMessageHandler previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg)
        return;
    std::lock_guard<std::mutex> lock(traceMutex);
    traceMessages.append(message);
}
} // namespace

TraceCapture::TraceCapture()
{
    clear();
    previousHandler = qInstallMessageHandler(captureMessage);
}

TraceCapture::~TraceCapture()
{
    qInstallMessageHandler(previousHandler);
}

QStringList TraceCapture::messages() const
{
    std::lock_guard<std::mutex> lock(traceMutex);
    return traceMessages;
}

int TraceCapture::count(const QString& text) const
{
    std::lock_guard<std::mutex> lock(traceMutex);
    return static_cast<int>(traceMessages.count(text));
}

int TraceCapture::indexOf(const QString& text, int from) const
{
    std::lock_guard<std::mutex> lock(traceMutex);
    return static_cast<int>(traceMessages.indexOf(text, from));
}

bool TraceCapture::waitForMessage(const QString& text, std::chrono::milliseconds timeout) const
{
    return waitFor([&] { return count(text) > 0; }, timeout);
}

void TraceCapture::clear()
{
    std::lock_guard<std::mutex> lock(traceMutex);
    traceMessages.clear();
}

void RecordingConsumer::receiveData(PData& data)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (kind == Samples)
        sampleRecords.push_back(*static_cast<const OndiraData*>(data.getData()));
    else
        statusRecords.push_back(static_cast<const StatusData*>(data.getData())->getCode());
}

std::vector<OndiraData> RecordingConsumer::samples() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return sampleRecords;
}

std::size_t RecordingConsumer::sampleCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return sampleRecords.size();
}

std::vector<StatusData::statusCode> RecordingConsumer::statuses() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return statusRecords;
}

std::size_t RecordingConsumer::statusCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return statusRecords.size();
}

int RecordingConsumer::countStatus(StatusData::statusCode code) const
{
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (auto c : statusRecords)
        n += (c == code) ? 1 : 0;
    return n;
}

bool RecordingConsumer::waitForSamples(std::size_t count, std::chrono::milliseconds timeout) const
{
    return waitFor([&] { return sampleCount() >= count; }, timeout);
}

bool RecordingConsumer::waitForStatus(StatusData::statusCode code, int count,
                                      std::chrono::milliseconds timeout) const
{
    return waitFor([&] { return countStatus(code) >= count; }, timeout);
}

void RecordingConsumer::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    sampleRecords.clear();
    statusRecords.clear();
}

} // namespace ondira_test
