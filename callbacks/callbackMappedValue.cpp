#include "callbacks/callbackMappedValue.h"

#include <utility>

callbackMappedValue::callbackMappedValue() : m_pChildren(nullptr) {}

callbackMappedValue::callbackMappedValue(std::string name, std::string value)
    : m_sName(std::move(name)), m_sValue(std::move(value)), m_pChildren(nullptr)
{
}

callbackMappedValue::callbackMappedValue(const callbackMappedValue& other)
    : m_sName(other.m_sName), m_sValue(other.m_sValue), m_pChildren(nullptr)
{
    if (other.m_pChildren)
        m_pChildren = new std::list<callbackMappedValue>(*other.m_pChildren);  // deep, element by element
}

callbackMappedValue& callbackMappedValue::operator=(const callbackMappedValue& other)
{
    if (this == &other)
        return *this;
    // Copy everything first: if memory runs out part-way this entry is unchanged.
    callbackMappedValue copy(other);
    std::swap(m_sName, copy.m_sName);
    std::swap(m_sValue, copy.m_sValue);
    std::swap(m_pChildren, copy.m_pChildren);
    return *this;  // copy frees what this entry held
}

callbackMappedValue::~callbackMappedValue()
{
    delete m_pChildren;
    m_pChildren = nullptr;
}
