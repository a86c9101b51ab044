// Entry IDs and search keys of addresses, as the message's sender, recipients and reply-to
// list carry them: one rule for every layer that makes them. Plain standard C++, any thread.
#pragma once

#include <string_view>
#include <vector>

#include "base/message.h"

namespace mail {

// One-off entry ID with the flags word 0x9001 (UTF-16 strings, no lookup, no rich text);
// the strings are UTF-8.
Bytes OneOffEntryId(std::string_view display_name, std::string_view address_type,
                    std::string_view address);
// "TYPE:ADDRESS" with ASCII letters upper-cased (other bytes kept as they are), plus one NUL.
Bytes SearchKey(std::string_view address_type, std::string_view address);
// Count, total size, then each entry's length, bytes and padding to a multiple of 4.
Bytes FlatEntryList(const std::vector<Bytes>& entries);

}  // namespace mail
