#include "diagnostics/DiagnosticLog.h"
#include "diagnostics/Trace.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <thread>

using ondira::Trace;
using ondira_test::ScopedWorkingDirectory;
using ondira_test::TraceCapture;

namespace {

TEST(Trace, EveryItemIsFollowedByOneBlank)
{
    TraceCapture capture;
    Trace() << "0 bytes! (" << std::int32_t(3) << ")";
    Trace() << "readTimeout: " << std::uint32_t(50);
    Trace() << "Thread stopped. Result =" << true;
    Trace() << "resuming:" << false;
    Trace() << "USB id = " << std::uint16_t(0x1234);
    Trace() << "-----------Something wrong while writing (" << 901LL << ")---------------";
    Trace() << "Starting thread";
    EXPECT_EQ(capture.messages(),
              QStringList({QStringLiteral("0 bytes! ( 3 ) "), QStringLiteral("readTimeout:  50 "),
                           QStringLiteral("Thread stopped. Result = true "),
                           QStringLiteral("resuming: false "), QStringLiteral("USB id =  4660 "),
                           QStringLiteral("-----------Something wrong while writing ( 901 "
                                          ")--------------- "),
                           QStringLiteral("Starting thread ")}));
}

TEST(Trace, NumbersKeepTheirSignednessAndWidth)
{
    TraceCapture capture;
    Trace() << std::numeric_limits<std::int32_t>::min() << std::numeric_limits<std::uint32_t>::max()
            << std::numeric_limits<std::uint16_t>::max() << std::numeric_limits<long long>::min();
    EXPECT_EQ(capture.messages(),
              QStringList(QStringLiteral(
                  "-2147483648 4294967295 65535 -9223372036854775808 ")));
}

TEST(Trace, IsHandedOverWithTheDebugTypeFromAnyThread)
{
    TraceCapture capture; // records debug messages only
    std::thread worker([] { Trace() << "from worker"; });
    worker.join();
    Trace() << "from caller";
    EXPECT_EQ(capture.count(QStringLiteral("from worker ")), 1);
    EXPECT_EQ(capture.count(QStringLiteral("from caller ")), 1);
}

TEST(DiagnosticLog, AppendsEntriesAndCreatesTheFileWhenMissing)
{
    ScopedWorkingDirectory cwd;
    EXPECT_TRUE(cwd.readFile("log.txt").isNull());
    ondira::logPropertyValue("WordLength", 8);
    ondira::logPropertyValue("WordLength", -5);
    EXPECT_EQ(cwd.readFile("log.txt"),
              QByteArray("WordLength = 8\r\n----------------\r\n"
                         "WordLength = -5\r\n----------------\r\n"));
}

TEST(DiagnosticLog, NameBytesAppearAsStored)
{
    ScopedWorkingDirectory cwd;
    const char name[] = "caf\xe9 \x01\x7f";
    ondira::logPropertyValue(name, 0);
    EXPECT_EQ(cwd.readFile("log.txt"), QByteArray(name) + " = 0\r\n----------------\r\n");
}

TEST(DiagnosticLog, FollowsTheCurrentWorkingDirectory)
{
    ScopedWorkingDirectory first;
    ondira::logPropertyValue("A", 1);
    {
        ScopedWorkingDirectory second;
        ondira::logPropertyValue("B", 2);
        EXPECT_EQ(second.readFile("log.txt"), QByteArray("B = 2\r\n----------------\r\n"));
    }
    EXPECT_EQ(first.readFile("log.txt"), QByteArray("A = 1\r\n----------------\r\n"));
}

} // namespace
