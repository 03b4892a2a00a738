#pragma once
// What the dialogs tell about things that happen (a tag read, a connect, a write), in plain
// named fields. They know nothing of the forms the events leave the program in.

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace events {

using Value = std::variant<std::string, long long, bool>;
using Fields = std::vector<std::pair<std::string, Value>>;

class IEvents {
 public:
  virtual ~IEvents() = default;
  // event: "tag", "connected", ...; fields: the event's own, in order.
  virtual void Emit(const std::string& event, const Fields& fields) = 0;
};

}  // namespace events
