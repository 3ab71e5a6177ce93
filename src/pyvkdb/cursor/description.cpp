// Placeholder until this group of methods is built.
#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "module/errors.h"

namespace vk {
bool cursor_build_description(CursorObject *) { return true; }
}  // namespace vk
