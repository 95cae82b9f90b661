#include "engine/inputParams.h"

#include <utility>

InputParams::InputParams()
    : m_iSourceType(INPUT_SOURCE_NONE), m_uiIpAddr(0), m_uiInterfaceIp(0), m_usPort(0), m_iNumberOfBuffers(0),
      m_iBufferSize(0), m_bSaveToDisk(false), m_bDiskDirect(false)
{
}

InputParams::InputParams(unsigned int ip, uint16_t port, unsigned int interfaceIp, std::string dumpFileName,
                         int numberOfBuffers, int bufferSize, bool saveToDisk, bool diskDirect)
    : m_iSourceType(INPUT_SOURCE_NETWORK), m_sDumpFileName(std::move(dumpFileName)), m_uiIpAddr(ip),
      m_uiInterfaceIp(interfaceIp), m_usPort(port), m_iNumberOfBuffers(numberOfBuffers), m_iBufferSize(bufferSize),
      m_bSaveToDisk(saveToDisk), m_bDiskDirect(diskDirect)
{
}

InputParams::InputParams(const std::string& fileName)
    : m_iSourceType(INPUT_SOURCE_FILE), m_sFileName(fileName), m_uiIpAddr(0), m_uiInterfaceIp(0), m_usPort(0),
      m_iNumberOfBuffers(0), m_iBufferSize(0), m_bSaveToDisk(false), m_bDiskDirect(false)
{
}

InputParams& InputParams::operator=(const InputParams& other)
{
    if (this == &other)
        return *this;
    m_iSourceType = other.m_iSourceType;
    if (m_iSourceType == INPUT_SOURCE_FILE) {
        m_sFileName = other.m_sFileName;
    } else if (m_iSourceType == INPUT_SOURCE_NETWORK) {
        m_sDumpFileName = other.m_sDumpFileName;
        m_uiIpAddr = other.m_uiIpAddr;
        m_uiInterfaceIp = other.m_uiInterfaceIp;
        m_usPort = other.m_usPort;
        m_iNumberOfBuffers = other.m_iNumberOfBuffers;
        m_iBufferSize = other.m_iBufferSize;
        m_bSaveToDisk = other.m_bSaveToDisk;
        m_bDiskDirect = other.m_bDiskDirect;
    }
    return *this;
}
