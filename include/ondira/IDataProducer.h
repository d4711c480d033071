#ifndef ONDIRA_IDATAPRODUCER_H
#define ONDIRA_IDATAPRODUCER_H

class IDataConsumer;
class PData;

/// Delivers envelopes to an ordered list of consumers.
///
/// `sendData` calls every registered consumer's `receiveData` in registration
/// order on the calling thread. The list is not locked: register and
/// deregister only while the device is closed (before openDevice or after
/// closeDevice), never from inside `receiveData`. The producer stores the
/// consumer's address only; the consumer must outlive its registration.
class IDataProducer
{
public:
    virtual ~IDataProducer() {}
    virtual void sendData(PData& data) = 0;
    /// Appends the consumer; a consumer registered twice is called twice.
    virtual void registerConsumer(IDataConsumer& consumer) = 0;
    /// Removes the first registration of the consumer, if there is one.
    virtual void deregisterConsumer(const IDataConsumer& consumer) = 0;
};

#endif
