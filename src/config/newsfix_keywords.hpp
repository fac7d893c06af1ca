// The keyword handlers of NewsFix's settings.
#pragma once

#include "config/reader.hpp"

namespace quillmar {

void kw_newsfix_node(const ConfigLine& at);
void kw_newsfix_allow(const ConfigLine& at);
void kw_newsfix_name(const ConfigLine& at);

}  // namespace quillmar
