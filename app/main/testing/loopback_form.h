#pragma once

// Form options for window tests: the install folder below `install`, and every service of
// the form on loopback at ports the system picks, so tests never clash on the fixed ports.

#include <filesystem>
#include <string>

#include "app/main/form.h"

namespace pmr::app::testing {

inline FormOptions LoopbackFormOptions(const std::filesystem::path& install,
                                       const std::string& program_name,
                                       const std::string& portal_host) {
  FormOptions options;
  options.program_file = install / "bin" / program_name;
  options.program_files = install.string();
  options.callback_address = "127.0.0.1";
  options.callback_port = 0;
  options.page_port = 0;
  options.portal_host = portal_host;
  return options;
}

}  // namespace pmr::app::testing
