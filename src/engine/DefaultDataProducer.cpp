#include "engine/DefaultDataProducer.h"

#include <ondira/IDataConsumer.h>

#include <algorithm>

namespace ondira {

DefaultDataProducer::DefaultDataProducer() = default;

DefaultDataProducer::~DefaultDataProducer() = default;

void DefaultDataProducer::sendData(PData& data)
{
    for (IDataConsumer* consumer : consumers)
        consumer->receiveData(data);
}

void DefaultDataProducer::registerConsumer(IDataConsumer& consumer)
{
    consumers.push_back(&consumer);
}

void DefaultDataProducer::deregisterConsumer(const IDataConsumer& consumer)
{
    auto it = std::find(consumers.begin(), consumers.end(), &consumer);
    if (it != consumers.end())
        consumers.erase(it);
}

} // namespace ondira
