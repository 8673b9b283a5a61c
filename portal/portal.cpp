#include "portal/portal.h"

#include <cstdlib>

#ifndef PMRFACE_DEFAULT_PORTAL_HOST
#define PMRFACE_DEFAULT_PORTAL_HOST "127.0.0.1:8800"
#endif

namespace pmr::portal {
namespace {

std::string Url(std::string_view host, std::string_view path_and_query) {
  std::string url = "http://";
  url += host;
  url += path_and_query;
  return url;
}

std::string Cat(std::initializer_list<std::string_view> parts) {
  std::string s;
  for (std::string_view p : parts) s += p;
  return s;
}

}  // namespace

std::string PortalHost() {
  if (const char* host = std::getenv("PMRFACE_PORTAL_HOST"); host && *host) return host;
  return PMRFACE_DEFAULT_PORTAL_HOST;
}

std::string IssueIdentityUrl(std::string_view host) { return Url(host, "/wgate/wgate_gethid.asp"); }
std::string SchoolCodeUrl(std::string_view host, std::string_view hid) {
  return Url(host, Cat({"/wgate/pmr_getsp.html?hid=", hid}));
}
std::string UploadUrl(std::string_view host) { return Url(host, "/fgate/jdq_upload.html"); }

std::string RegistrationPage(std::string_view host, std::string_view hid) {
  return Url(host, Cat({"/kvtnet/index.html?hid=", hid}));
}
std::string PointsPage(std::string_view host, std::string_view sp, std::string_view hid) {
  return Url(host, Cat({"/club/index_jdq_s.html?sp=", sp, "&hid=", hid}));
}
std::string PupilPointsPage(std::string_view host, std::string_view card_id, std::string_view sp) {
  return Url(host, Cat({"/club/index_jdq_s.html?cardid=", card_id, "&sp=", sp}));
}
std::string AttendancePage(std::string_view host, std::string_view sp) {
  return Url(host, Cat({"/mosite/xykq2.html?sp=", sp}));
}
std::string LiveListPage(std::string_view host, std::string_view sp) {
  return Url(host, Cat({"/club/hlmbo_jdqface_now.html?sp=", sp}));
}
std::string SmartSchoolPage(std::string_view host, std::string_view sp) {
  return Url(host, Cat({"/club/xgo.html?sp=", sp, "&url=hlmbo_cygn.html"}));
}

}  // namespace pmr::portal
