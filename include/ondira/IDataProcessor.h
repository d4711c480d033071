#ifndef ONDIRA_IDATAPROCESSOR_H
#define ONDIRA_IDATAPROCESSOR_H

class IDataConsumer;
class IDataProducer;

/// Access to the data producers of an object, by data type:
/// 1 (`SAMPLE_DATA`) delivers `OndiraData`, 2 (`STATUS_DATA`) delivers `StatusData`.
class IDataProcessor
{
public:
    enum DataType { SAMPLE_DATA = 1, STATUS_DATA = 2 };

    virtual ~IDataProcessor() {}
    virtual IDataConsumer* getDataConsumer(int type) = 0;
    virtual IDataProducer* getDataProducer(int type) = 0;
    virtual bool registerConsumer(int type, IDataConsumer& consumer) = 0;
    virtual bool deregisterConsumer(int type, const IDataConsumer& consumer) = 0;
};

#endif
