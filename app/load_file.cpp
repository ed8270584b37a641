#include "app/load_file.hpp"

namespace zub {

result<document_buffer> load_file(const char* path) { return read_file(path, document_bound()); }

}  // namespace zub
