// Several facades at once, and a global thread pool that the application
// keeps busy: every engine's worker must get a thread of its own.

#include "E2eFixture.h"

#include <QSemaphore>
#include <QThreadPool>

namespace ondira_e2e {
namespace {

TEST(Concurrency, MoreFacadesThanThePoolHasThreadsAllStreamWhileThePoolIsBusy)
{
    ScopedWorkingDirectory cwd;
    QThreadPool* pool = QThreadPool::globalInstance();
    const int poolThreads = pool->maxThreadCount();
    const int devices = poolThreads + 1;
    ASSERT_EQ(ondira_sim_configure(("devices=" + std::to_string(devices)).c_str()), 0);

    // The application occupies every thread of the global pool until the
    // end of the test, whatever way it ends.
    QSemaphore release;
    QSemaphore started;
    struct Unblock {
        QSemaphore& release;
        QThreadPool* pool;
        int blockers;
        ~Unblock()
        {
            release.release(blockers);
            pool->waitForDone();
        }
    } unblock{release, pool, poolThreads};
    for (int i = 0; i < poolThreads; ++i)
        pool->start([&] {
            started.release();
            release.acquire();
        });
    ASSERT_TRUE(started.tryAcquire(poolThreads, 10000));

    std::vector<std::unique_ptr<Ondira>> facades;
    std::vector<std::unique_ptr<RecordingConsumer>> recorders;
    for (int i = 0; i < devices; ++i) {
        facades.push_back(std::make_unique<Ondira>());
        recorders.push_back(std::make_unique<RecordingConsumer>(RecordingConsumer::Samples));
        facades.back()->registerConsumer(IDataProcessor::SAMPLE_DATA, *recorders.back());
        ASSERT_TRUE(facades.back()->openDevice()) << "facade " << i;
    }
    for (auto& facade : facades)
        ASSERT_TRUE(facade->startStreaming());
    for (int i = 0; i < devices; ++i)
        EXPECT_TRUE(recorders[i]->waitForSamples(100)) << "facade " << i;

    // Each facade opened its own device.
    for (int i = 0; i < devices; ++i)
        EXPECT_TRUE(stateOf(i).streaming) << i;

    for (int i = 0; i < devices; ++i) {
        facades[i]->closeDevice();
        facades[i]->deregisterConsumer(IDataProcessor::SAMPLE_DATA, *recorders[i]);
    }
}

TEST(Concurrency, PropertiesAndPingWhileStreamingAreSafe)
{
    ScopedWorkingDirectory cwd;
    ASSERT_EQ(ondira_sim_configure("fast=1"), 0);
    Ondira ondira;
    RecordingConsumer samples(RecordingConsumer::Samples);
    RecordingConsumer statuses(RecordingConsumer::Statuses);
    ondira.registerConsumer(IDataProcessor::SAMPLE_DATA, samples);
    ondira.registerConsumer(IDataProcessor::STATUS_DATA, statuses);
    ASSERT_TRUE(ondira.openDevice());
    ASSERT_TRUE(ondira.startStreaming());
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(ondira.setProperty(Property(Ondira::STR_PROPERTY_ENABLE_CHANNEL_1, round % 2)));
        ASSERT_NE(ondira.getProperty("Read Timeout"), nullptr);
        ASSERT_TRUE(ondira.ping());
        if (round % 5 == 0) {
            ASSERT_TRUE(ondira.stopStreaming());
            ASSERT_TRUE(ondira.startStreaming());
        }
    }
    ASSERT_NE(ondira.getProperty(Ondira::STR_PROPERTY_ONDIRA_FIRMWARE_VERSION), nullptr);
    EXPECT_TRUE(samples.waitForSamples(500));
    ondira.closeDevice();
    for (auto code : statuses.statuses())
        EXPECT_NE(code, StatusData::DEVICE_IO_ERROR);
    ondira.deregisterConsumer(IDataProcessor::SAMPLE_DATA, samples);
    ondira.deregisterConsumer(IDataProcessor::STATUS_DATA, statuses);
}

} // namespace
} // namespace ondira_e2e
