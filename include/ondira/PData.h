#ifndef ONDIRA_PDATA_H
#define ONDIRA_PDATA_H

#include <ondira/OndiraExport.h>

/// Envelope in which a record reaches a consumer.
///
/// `getData()` points to an `OndiraData` when the envelope comes from the sample
/// producer (data type 1) and to a `StatusData` when it comes from the status
/// producer (data type 2). The envelope does not own the record. Both live on
/// the producing thread's stack and are valid only during `receiveData`; copy
/// the record to keep it. Every consumer of one delivery gets the same envelope.
class ONDIRA_EXPORT PData
{
public:
    explicit PData(void* record) : data(record) {}
    virtual ~PData();

    void* getData() const { return data; }

private:
    void* data;
};

#endif
