#ifndef KORBALT_SYNTAX_DESCRIPTORTYPES_H
#define KORBALT_SYNTAX_DESCRIPTORTYPES_H

// 0..35 by tag, 36 the fallback text.
extern const char* const mpeg2StdDescriptorTypes[37];

// Name of a descriptor_tag (low 8 bits of tag). Never null; do not free.
const char* getDescTypeString(int tag);

#endif
