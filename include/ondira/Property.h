#ifndef ONDIRA_PROPERTY_H
#define ONDIRA_PROPERTY_H

#include <ondira/OndiraExport.h>

/// A named value held in three views at once: integer, float and text.
///
/// Names and text values keep at most their first 50 characters. A null name
/// or text is taken as the empty text. Assigning an integer (the integer
/// constructor or setValue(int)) appends one entry "name = value" to the file
/// "log.txt" in the current working directory. The class is trivially
/// copyable; one object must not be used from two threads at once.
class ONDIRA_EXPORT Property
{
public:
    static const int MAX_TEXT_LENGTH = 50;

    Property(const char* name, const char* value);
    Property(const char* name, float value);
    Property(const char* name, int value);

    const char* getName() const;
    const char* getValueAsString() const;
    int getValueAsInteger() const;
    float getValueAsFloat() const;

    /// Text view := value; the integer view is the whole text read as a
    /// base-10 integer and the float view the whole text read as a decimal
    /// number, each 0 when the text is not one.
    void setValue(const char* value);
    /// Integer view := value truncated toward zero (saturating at the 32-bit
    /// limits, NaN gives 0); text view in general notation, 6 significant digits.
    void setValue(float value);
    /// All three views from `value`, then one entry in "log.txt".
    void setValue(int value);

private:
    char name[MAX_TEXT_LENGTH + 1];
    int valueAsInteger;
    float valueAsFloat;
    char valueAsString[MAX_TEXT_LENGTH + 1];
};

#endif
