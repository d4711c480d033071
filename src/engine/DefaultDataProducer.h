#ifndef ONDIRA_ENGINE_DEFAULTDATAPRODUCER_H
#define ONDIRA_ENGINE_DEFAULTDATAPRODUCER_H

#include <ondira/IDataProducer.h>

#include <vector>

namespace ondira {

/// Delivers each envelope to its consumers in registration order, on the
/// calling thread. Stores addresses only; never owns a consumer. The list is
/// not locked: it changes only while no delivery can run.
class DefaultDataProducer : public IDataProducer
{
public:
    DefaultDataProducer();
    ~DefaultDataProducer() override;

    void sendData(PData& data) override;
    void registerConsumer(IDataConsumer& consumer) override;
    void deregisterConsumer(const IDataConsumer& consumer) override;

private:
    std::vector<IDataConsumer*> consumers;
};

} // namespace ondira

#endif
