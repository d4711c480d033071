#include "TextFile.h"

#include <cerrno>
#include <cstring>

namespace ondira {
namespace formats {

std::string TextFile::describe(const char* action) const
{
    return std::string("cannot ") + action + " " + file.fileName().toStdString() + ": "
        + file.errorString().toStdString();
}

bool TextFile::create(std::string& error)
{
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        error = describe("create");
        return false;
    }
    committed = 0;
    return true;
}

bool TextFile::append(const QByteArray& bytes, std::string& error)
{
    if (!file.isOpen()) {
        error = "cannot write " + file.fileName().toStdString() + ": the file is not open";
        return false;
    }
    errno = 0;
    const qint64 written = file.write(bytes);
    const int reason = errno;
    if (written == bytes.size()) {
        committed += written;
        return true;
    }
    // A short write (a file-size limit, a full disk) may leave Qt without a
    // reason of its own: the system's is the one to tell.
    error = "cannot write " + file.fileName().toStdString() + ": "
        + (reason != 0 ? std::strerror(reason) : file.errorString().toStdString());
    // Keep the file at its last whole piece.
    file.resize(committed);
    return false;
}

bool TextFile::close(std::string& error)
{
    if (!file.isOpen())
        return true;
    file.close();
    if (file.error() != QFileDevice::NoError) {
        error = describe("close");
        return false;
    }
    return true;
}

void TextFile::remove()
{
    file.close();
    file.remove();
}

} // namespace formats
} // namespace ondira
