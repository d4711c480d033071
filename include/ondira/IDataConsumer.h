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
/// device only after every consumer has returned. It must not register or
/// deregister consumers, nor close or destroy the facade. The envelope and its
/// record are valid only during the call; copy what you keep.
class IDataConsumer
{
public:
    virtual ~IDataConsumer() {}
    virtual void receiveData(PData& data) = 0;
};

#endif
