// The IMPORT command: a SOUP packet into FidoNet packets.
#pragma once

namespace quillmar {

void import_soup();

}  // namespace quillmar
