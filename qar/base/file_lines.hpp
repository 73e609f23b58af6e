// The lines every mode prints about files: a scan's listing and a run's progress.
#pragma once

#include <cstdint>
#include <string>

namespace qar {

// "name (1.50kB)": the size in kilobytes, single precision as the listing has always shown it.
std::wstring listing_line(const std::wstring& name, std::uint64_t size);

// "  7.25%: name": the share of all bytes done once this file is; nothing to do is complete.
std::wstring progress_line(std::uint64_t done, std::uint64_t total, const std::wstring& name);

}  // namespace qar
