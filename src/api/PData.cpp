#include <ondira/PData.h>

// Defined out of line so that the library holds the one virtual table.
PData::~PData() = default;
