#ifndef KORBALT_ENGINE_INPUTPARAMS_H
#define KORBALT_ENGINE_INPUTPARAMS_H

#include <cstdint>
#include <string>

// Kinds of source a run reads from.
enum {
    INPUT_SOURCE_FILE = 0,
    INPUT_SOURCE_NETWORK = 1,
    INPUT_SOURCE_NONE = 2
};

// What the decoder needs to build its stream source: a file, or a UDP (multicast)
// stream with its buffer settings and the optional copy to disk.
class InputParams {
public:
    // Kind none, both names empty, numbers 0.
    InputParams();
    // Network input. ip and interfaceIp carry the first dotted number in the top byte.
    InputParams(unsigned int ip, uint16_t port, unsigned int interfaceIp, std::string dumpFileName,
                int numberOfBuffers, int bufferSize, bool saveToDisk, bool diskDirect);
    // File input.
    explicit InputParams(const std::string& fileName);
    InputParams(const InputParams& other) = default;
    ~InputParams() = default;

    // Copies the kind and then only the fields of that kind: a file copies its file name,
    // a network its dump name and every number and switch; the target keeps the rest.
    InputParams& operator=(const InputParams& other);

    int m_iSourceType;             // INPUT_SOURCE_*
    std::string m_sDumpFileName;   // network: directory or prefix of the copy-to-disk file
    std::string m_sFileName;       // file: path of the input
    uint32_t m_uiIpAddr;           // network: group address
    uint32_t m_uiInterfaceIp;      // network: address of the interface that joins the group
    uint16_t m_usPort;             // network: UDP port, 0..65535
    int m_iNumberOfBuffers;        // network: reader buffers, and writer buffers of the copy
    int m_iBufferSize;             // network: bytes per writer buffer of the copy
    bool m_bSaveToDisk;            // network: copy the stream to a file
    bool m_bDiskDirect;            // network: write the copy with direct I/O (the writer then starts paused)
};

#endif
