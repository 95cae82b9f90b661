#ifndef KORBALT_CALLBACKS_CALLBACKMAPPEDVALUE_H
#define KORBALT_CALLBACKS_CALLBACKMAPPEDVALUE_H

#include <list>
#include <string>

// One entry of a message: name, value as text, optional child entries (attributes).
class callbackMappedValue {
public:
    callbackMappedValue();
    callbackMappedValue(std::string name, std::string value);
    callbackMappedValue(const callbackMappedValue& other);
    callbackMappedValue& operator=(const callbackMappedValue& other);
    ~callbackMappedValue();

    std::string m_sName;
    std::string m_sValue;
    std::list<callbackMappedValue>* m_pChildren;  // owned; null when there are none
};

typedef std::list<callbackMappedValue> MappedValueList;

#endif
