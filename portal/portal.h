#pragma once

// The cloud portal's data calls and page addresses. Every address is "http://" + host + path;
// the school code, identity and card id go into the query exactly as they stand.

#include <string>
#include <string_view>

namespace pmr::portal {

// PMRFACE_PORTAL_HOST from the environment when set, else the host the build was made for.
std::string PortalHost();

// Data calls.
std::string IssueIdentityUrl(std::string_view host);
std::string SchoolCodeUrl(std::string_view host, std::string_view hid);
std::string UploadUrl(std::string_view host);

// Pages.
std::string RegistrationPage(std::string_view host, std::string_view hid);
std::string PointsPage(std::string_view host, std::string_view sp, std::string_view hid);
std::string PupilPointsPage(std::string_view host, std::string_view card_id, std::string_view sp);
std::string AttendancePage(std::string_view host, std::string_view sp);
std::string LiveListPage(std::string_view host, std::string_view sp);
std::string SmartSchoolPage(std::string_view host, std::string_view sp);

// The points page's address carries this text; the main pane follows a recognition only then.
inline constexpr std::string_view kPointsPageMark = "index_jdq_s";

}  // namespace pmr::portal
