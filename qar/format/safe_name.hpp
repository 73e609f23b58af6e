// Whether an archive name may be turned into a path below an output directory.
#pragma once

#include <string>

namespace qar::format {

// True for a name that could reach outside the directory it is joined to, or that the
// platform can't hold as an ordinary file: empty, a leading or trailing "/" or "\", a ":"
// anywhere, a ".." component (components split at "/" and "\"), or a component the platform
// refuses (on Windows a reserved one, or one with a character Windows names can't hold).
bool is_unsafe_archive_name(const std::wstring& name);

// Throws wruntime_error `Unsafe file name in archive "NAME"` for an unsafe name.
void require_safe_archive_name(const std::wstring& name);

}  // namespace qar::format
