// The layouts shipped with the converter, for well-known formats, chosen by
// name (--layout fds-slice). Their texts are the files of loader/layouts/,
// built into the converter and installed beside it for users to read.
#ifndef UNF2MAT_LOADER_SHIPPED_LAYOUTS_H_
#define UNF2MAT_LOADER_SHIPPED_LAYOUTS_H_

#include <span>
#include <string_view>

namespace unf2mat {

struct ShippedLayout {
  std::string_view name;
  std::string_view text;

  // The first line of its text, less the '# ': what --layout list says.
  std::string_view summary() const;
};

// Every shipped layout, by name.
std::span<const ShippedLayout> ShippedLayouts();

// The shipped layout of that name, or null.
const ShippedLayout* FindShippedLayout(std::string_view name);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_SHIPPED_LAYOUTS_H_
