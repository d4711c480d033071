#include "diagnostics/DiagnosticLog.h"

#include <QByteArray>
#include <QFile>

namespace ondira {

const char* const DIAGNOSTIC_LOG_FILE_NAME = "log.txt";

void logPropertyValue(const char* name, int value)
{
    QByteArray entry(name ? name : "");
    entry += " = ";
    entry += QByteArray::number(value);
    entry += "\r\n----------------\r\n";

    QFile file(QString::fromLatin1(DIAGNOSTIC_LOG_FILE_NAME));
    if (!file.open(QIODevice::Append))
        return;
    file.write(entry);
    file.close();
}

} // namespace ondira
