#ifndef ONDIRA_IDATACONSUMER_H
#define ONDIRA_IDATACONSUMER_H

class PData;

/// Implemented by the application to receive records.
///
/// Threading: `receiveData` is called on the thread that produced the record.
/// Samples and the status events of acquisition arrive on the library's worker
/// thread; status events raised inside a call to the facade (openDevice,
/// closeDevice, startStreaming, stopStreaming, ping, getProperty, setProperty)
/// arrive synchronously on the thread that made that call. A status consumer
/// must therefore accept calls from both threads.
///
/// `receiveData` must return quickly and must not throw: the worker reads the
/// device only after every consumer has returned. The envelope and its record
/// are valid only during the call; copy what you keep.
///
/// Calls back into the facade from `receiveData`. The library holds none of
/// its locks while it delivers a record, so a consumer may call:
/// - startStreaming, stopStreaming, setProperty and getProperty, and ping.
///   The status events such a call raises are delivered to the consumers,
///   this one included, before the call returns, inside the delivery under
///   way: do not answer an event with a call that can raise the same event
///   again without end (stopStreaming on every DEVICE_NOT_OPEN, for one).
///   On the worker thread, calls that wait for a reply of the headset or the
///   dongle (ping while not streaming; the firmware versions and transmission
///   channels through getProperty or setProperty) cannot get it, because the
///   worker reads the reply only once the consumer returns: they time out
///   after about 1.2 s and report failure. Make them from your own thread.
/// - closeDevice. From the worker thread it stops streaming and closes the
///   device at once; the worker itself ends as soon as the consumer returns.
/// A consumer must not call openDevice, register or deregister consumers, or
/// destroy the facade.
class IDataConsumer
{
public:
    virtual ~IDataConsumer() {}
    virtual void receiveData(PData& data) = 0;
};

#endif
