// The small FidoNet packet that carries a file listed in a flow file
// without a message: one file-attach message whose subject names the file.
#pragma once

#include <string_view>

#include "config/settings.hpp"
#include "platform/fs.hpp"

namespace quillmar {

// Writes into `temp_name` a Type 2+ packet holding one file-attach message
// from the first AddrMap address to `destination`, whose subject is
// `listed_name`; `stream` is left open (reading and writing) at its end.
// False when the packet cannot be created or written.
bool make_attach_packet(const FtnAddress& destination, std::string_view to_name,
                        std::string_view temp_name, std::string_view listed_name,
                        platform::File& stream);

}  // namespace quillmar
