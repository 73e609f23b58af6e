// Whether an archive name may be turned into a path below an output directory, here and on
// the other platform.
#pragma once

#include <string>

namespace qar {

// Which unpack refuses a name: none, only the one on Windows, or the one on every platform.
enum class NameRefusal { none, on_windows, everywhere };

// Every platform refuses a name that could reach outside the directory it is joined to, or
// that names no file: empty, a leading or trailing "/" or "\", a ":" anywhere, a ".." component
// (components split at "/" and "\"), or a last component ".". Windows also refuses a component
// it would not keep as a name (a reserved device name, a trailing dot or space, a character
// Windows names can't hold).
NameRefusal name_refusal(const std::wstring& name);

// Whether this platform's unpack refuses the name.
bool is_unsafe_archive_name(const std::wstring& name);

// Throws wruntime_error `Unsafe file name in archive "NAME"` for an unsafe name.
void require_safe_archive_name(const std::wstring& name);

}  // namespace qar
