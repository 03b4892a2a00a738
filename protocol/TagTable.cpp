#include "protocol/TagTable.h"

namespace protocol {

fw::WString TagTypeName(std::string_view typeCode) {
  for (const auto& t : kTagTypes)
    if (typeCode == t.code) return t.name;
  return kUnknownType;
}

}  // namespace protocol
