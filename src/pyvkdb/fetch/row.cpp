// Placeholder until this group of methods is built.
#include "cursor/cursor.h"
#include "cursor/methods.h"
#include "module/errors.h"

namespace vk {
void fetch_scratch_free(FetchScratch *) {}
}  // namespace vk
