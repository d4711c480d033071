#ifndef ONDIRA_FORMATS_TEXTFILE_H
#define ONDIRA_FORMATS_TEXTFILE_H

// A file written in whole pieces: each append reaches the operating system at
// once, and a failed one is cut back, so that the file always ends with the
// last piece written whole.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <string>

namespace ondira {
namespace formats {

class TextFile
{
public:
    explicit TextFile(const std::string& path) : file(QString::fromStdString(path)) {}

    /// Creates (or empties) the file. On failure `error` says why.
    bool create(std::string& error);
    bool append(const QByteArray& bytes, std::string& error);
    bool isOpen() const { return file.isOpen(); }
    bool close(std::string& error);
    void remove();

private:
    std::string describe(const char* action) const;

    QFile file;
    qint64 committed = 0;
};

} // namespace formats
} // namespace ondira

#endif
