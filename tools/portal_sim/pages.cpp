#include "tools/portal_sim/pages.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "portal/panes.h"
#include "tools/portal_sim/upload_store.h"

namespace pmr::portal_sim {
namespace {

constexpr std::string_view kStyle = R"css(
body{font-family:"Noto Sans CJK SC","Microsoft YaHei",sans-serif;margin:0;color:#223;background:#f4f6f8}
header{background:#2f7d4f;color:#fff;padding:8px 12px}
header h1{font-size:18px;margin:0 0 4px}
nav a{color:#e8f5ec;margin-right:10px;font-size:13px}
main{padding:10px 12px}
table{border-collapse:collapse;background:#fff}
td,th{border:1px solid #cdd;padding:4px 8px;font-size:13px}
.q{font-size:12px;color:#556}
.q code{background:#e6eaee;padding:0 3px}
)css";

struct Context {
  std::string sp;
  std::string hid;
};

// A relative link to `path` with each query value URL-encoded, so that it survives any text.
std::string Href(std::string_view path,
                 std::initializer_list<std::pair<std::string_view, std::string_view>> query) {
  std::string out(path);
  char separator = '?';
  for (const auto& [name, value] : query) {
    out += separator;
    out += name;
    out += '=';
    out += UrlEncodeComponent(value);
    separator = '&';
  }
  return out;
}

std::string PointsHref(const Context& c) {
  return Href(kPointsPath, {{"sp", c.sp}, {"hid", c.hid}});
}
std::string AttendanceHref(const Context& c) { return Href(kAttendancePath, {{"sp", c.sp}}); }
std::string RegistrationHref(const Context& c) { return Href(kRegistrationPath, {{"hid", c.hid}}); }
std::string SmartSchoolHref(const Context& c) {
  return Href(kSmartSchoolPath, {{"sp", c.sp}, {"url", "hlmbo_cygn.html"}});
}

std::string Link(std::string_view href, std::string_view text, std::string_view extra = {}) {
  std::string out = "<a href=\"" + HtmlEscape(href) + "\"";
  if (!extra.empty()) {
    out += ' ';
    out += extra;
  }
  out += ">" + HtmlEscape(text) + "</a>";
  return out;
}

std::string Nav(const Context& c) {
  return "<nav>" + Link(PointsHref(c), "积分") + Link(AttendanceHref(c), "考勤") +
         Link(SmartSchoolHref(c), "智校") + Link(RegistrationHref(c), "学校注册") +
         Link(Href(kLiveListPath, {{"sp", c.sp}}), "实时识别") + "</nav>";
}

// The query values as the page received them.
std::string QueryList(const std::vector<std::string>& params) {
  std::string out = "<p class=\"q\" id=\"query\">参数：";
  if (params.empty()) out += "无";
  for (const std::string& line : params) {
    if (line.empty()) continue;
    out += "<code>" + HtmlEscape(line) + "</code> ";
  }
  return out + "</p>";
}

std::string Document(std::string_view title, std::string_view head_extra, std::string_view body) {
  std::string out = "<!doctype html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">";
  out += "<meta name=\"viewport\" content=\"width=device-width\"><title>";
  out += HtmlEscape(title);
  out += "</title><style>";
  out += kStyle;
  out += head_extra;
  out += "</style></head>\n<body>";
  out += body;
  out += "</body></html>\n";
  return out;
}

std::string Header(std::string_view title, const Context& c) {
  return "<header><h1>" + HtmlEscape(title) + "</h1>" + Nav(c) + "</header>";
}

// Fake but stable numbers for a pupil: the same card id always shows the same points.
struct PupilFigures {
  int points;
  int this_week;
  int rank;
};
PupilFigures Figures(std::string_view card_id) {
  const std::uint64_t h = Fnv1a64(card_id);
  return {static_cast<int>(100 + h % 900), static_cast<int>((h >> 16) % 40),
          static_cast<int>(1 + (h >> 32) % 60)};
}

constexpr std::array<std::string_view, 8> kPupils = {"张三", "李四", "王五", "赵六",
                                                     "钱七", "孙八", "周九", "吴十"};

std::string PointsPage(const std::vector<std::string>& params, const Context& c) {
  const std::optional<std::string> card = ParamValue(params, "cardid");
  std::string body;
  if (card) {
    const PupilFigures f = Figures(*card);
    body = Header("积分", c) + "<main>" + QueryList(params) +
           "<h2>学生积分</h2><table id=\"pupil\">" + "<tr><th>卡号</th><td id=\"cardid\">" +
           HtmlEscape(*card) + "</td></tr>" + "<tr><th>总积分</th><td id=\"points\">" +
           std::to_string(f.points) + "</td></tr>" + "<tr><th>本周</th><td>" +
           std::to_string(f.this_week) + "</td></tr>" + "<tr><th>全校排名</th><td>" +
           std::to_string(f.rank) + "</td></tr></table>" + "<p>" +
           Link(PointsHref(c), "返回全校积分") + "</p></main>";
  } else {
    body = Header("积分", c) + "<main>" + QueryList(params) + "<h2>全校积分</h2>" +
           "<table id=\"school\"><tr><th>卡号</th><th>姓名</th><th>积分</th></tr>";
    for (std::size_t i = 0; i < kPupils.size(); ++i) {
      const std::string id = "fp" + std::to_string(1001 + i);
      body += "<tr><td>" + Link(Href(kPointsPath, {{"cardid", id}, {"sp", c.sp}}), id) +
              "</td><td>" + std::string(kPupils[i]) + "</td><td>" +
              std::to_string(Figures(id).points) + "</td></tr>";
    }
    body += "</table></main>";
  }
  return Document("积分", "", body);
}

std::string AttendancePage(const std::vector<std::string>& params, const Context& c) {
  std::string body = Header("考勤", c) + "<main>" + QueryList(params) + "<p>学校：<b id=\"sp\">" +
                     HtmlEscape(c.sp) + "</b></p>" +
                     "<table><tr><th>卡号</th><th>姓名</th><th>到校</th><th>离校</th></tr>";
  for (std::size_t i = 0; i < kPupils.size(); ++i) {
    const std::string id = "fp" + std::to_string(1001 + i);
    const std::uint64_t h = Fnv1a64(id);
    const int in_minute = static_cast<int>(h % 50);
    const int out_minute = static_cast<int>((h >> 8) % 50);
    body += "<tr><td>" + id + "</td><td>" + std::string(kPupils[i]) +
            "</td><td>07:" + (in_minute < 10 ? "0" : "") + std::to_string(in_minute) +
            "</td><td>16:" + (out_minute < 10 ? "0" : "") + std::to_string(out_minute) +
            "</td></tr>";
  }
  body += "</table></main>";
  return Document("考勤", "", body);
}

std::string RegistrationPage(const std::vector<std::string>& params, const Context& c,
                             const SiteInfo& site) {
  const bool known = !c.hid.empty() && c.hid == site.hid;
  std::string body = Header("学校注册", c) + "<main>" + QueryList(params) +
                     "<p>本机标识：<b id=\"hid\">" + HtmlEscape(c.hid) +
                     "</b></p><p id=\"state\">" +
                     (known ? "已注册，学校代码 " + HtmlEscape(site.sp) : std::string("未注册")) +
                     "</p>" + "<p>" + Link(AttendanceHref(c), "去考勤") + "</p></main>";
  return Document("学校注册", "", body);
}

std::string SmartSchoolPage(const std::vector<std::string>& params, const Context& c) {
  const std::string url = ParamValue(params, "url").value_or("");
  std::string body = Header("智校", c) + "<main>" + QueryList(params) +
                     "<p>功能页：<b id=\"url\">" + HtmlEscape(url) + "</b></p><ul>" + "<li>" +
                     Link(PointsHref(c), "积分管理") + "</li><li>" +
                     Link(AttendanceHref(c), "考勤统计") + "</li><li>" +
                     Link(RegistrationHref(c), "学校注册") + "</li></ul></main>";
  return Document("智校", "", body);
}

// Live list: the left pane. The bridge calls ins(); the buttons drive the page API the way the
// portal's pages do, by a script element whose reply calls one of the jdqfaceapi_ functions.
constexpr std::string_view kLiveStyle = R"css(
body{width:312px}
main{padding:6px 8px}
#apimsg{min-height:1.3em;background:#fff;border:1px solid #cdd;padding:3px;font-size:13px}
#errors{color:#b00;font-size:12px}
.ctl input{width:90px}
.ctl button{margin:2px 2px 2px 0}
#rows{list-style:none;padding:0;margin:6px 0}
.row{display:flex;align-items:center;background:#fff;border-bottom:1px solid #dde;padding:3px}
.row img{width:48px;height:48px;object-fit:cover;margin-right:8px;background:#dde}
.row .card{font-weight:bold;display:block}
.row .time{font-size:12px;color:#667}
)css";

constexpr std::string_view kLiveScript = R"js(
window.apiReplies = [];
window.pageErrors = [];
window.onerror = function (message) {
  window.pageErrors.push(String(message));
  var e = document.getElementById('errors');
  if (e) e.textContent = window.pageErrors.join('; ');
};
function showApiReply(kind, msg) {
  var text = String(msg);
  window.apiReplies.push(text);
  var el = document.getElementById('apimsg');
  el.textContent = text;
  el.setAttribute('data-kind', kind);
  el.setAttribute('data-count', String(window.apiReplies.length));
}
function jdqfaceapi_takeimg(msg) { showApiReply('takeimg', msg); }
function jdqfaceapi_takecard(msg) { showApiReply('takecard', msg); }
function jdqfaceapi_update(msg) { showApiReply('update', msg); }
function jdqfaceapi_clearimg(msg) { showApiReply('clearimg', msg); }
function ins(cardid, picurl, time) {
  var list = document.getElementById('rows');
  var row = document.createElement('li');
  row.className = 'row';
  row.setAttribute('data-cardid', String(cardid));
  var img = document.createElement('img');
  img.src = String(picurl);
  img.alt = String(cardid);
  var info = document.createElement('span');
  var card = document.createElement('span');
  card.className = 'card';
  card.textContent = String(cardid);
  var when = document.createElement('span');
  when.className = 'time';
  when.textContent = String(time);
  info.appendChild(card);
  info.appendChild(when);
  row.appendChild(img);
  row.appendChild(info);
  list.insertBefore(row, list.firstChild);
  while (list.children.length > PORTAL.maxRows) list.removeChild(list.lastChild);
  document.getElementById('count').textContent = String(list.children.length);
}
function callPageApi(command) {
  var url = PORTAL.api + '/' + command + '?pid=' +
      encodeURIComponent(document.getElementById('pid').value);
  if (command !== 'clearimg') {
    url += '&name=' + encodeURIComponent(document.getElementById('name').value);
  }
  var s = document.createElement('script');
  // The page API answers in the PC's code page.
  s.charset = 'gbk';
  s.src = url;
  s.onload = function () { s.parentNode.removeChild(s); };
  s.onerror = function () {
    s.parentNode.removeChild(s);
    document.getElementById('apimsg').textContent = '本机接口无法访问';
  };
  document.body.appendChild(s);
}
document.addEventListener('DOMContentLoaded', function () {
  ['takeimg', 'takecard', 'update', 'clearimg'].forEach(function (command) {
    document.getElementById('btn-' + command).addEventListener('click', function () {
      callPageApi(command);
    });
  });
  var placeholder = 'data:image/svg+xml,' + encodeURIComponent(
      '<svg xmlns="http://www.w3.org/2000/svg" width="48" height="48">' +
      '<rect width="48" height="48" fill="#9bc"/></svg>');
  for (var i = 0; i < PORTAL.demo; ++i) {
    ins('fp' + (1001 + i), placeholder, '2026-12-09 12:00:' + (i < 10 ? '0' : '') + (i % 60));
  }
  if (PORTAL.click) document.getElementById('btn-' + PORTAL.click).click();
  var status = document.getElementById('status');
  status.textContent = '已就绪';
  status.setAttribute('data-ready', '1');
});
)js";

std::string LiveListPage(const std::vector<std::string>& params, const Context& c) {
  // Test hooks: demo rows, another page API on loopback, and a button pressed on load.
  int demo = 0;
  if (std::optional<std::string> d = ParamValue(params, "demo")) {
    auto [end, ec] = std::from_chars(d->data(), d->data() + d->size(), demo);
    if (ec != std::errc() || end != d->data() + d->size() || demo < 0) demo = 0;
    if (demo > 200) demo = 200;
  }
  std::string api(kDefaultPageApi);
  if (std::optional<std::string> a = ParamValue(params, "api")) {
    constexpr std::string_view kLoopback = "http://127.0.0.1:";
    const std::string_view port =
        std::string_view(*a).substr(std::min(a->size(), kLoopback.size()));
    bool ok = a->rfind(kLoopback, 0) == 0 && !port.empty() && port.size() <= 5;
    for (char ch : port) ok = ok && ch >= '0' && ch <= '9';
    if (ok) api = *a;
  }
  std::string click;
  if (std::optional<std::string> k = ParamValue(params, "click")) {
    if (*k == "takeimg" || *k == "takecard" || *k == "update" || *k == "clearimg") click = *k;
  }

  std::string body = Header("实时识别", c);
  body += "<main>" + QueryList(params);
  body += "<p id=\"status\">加载中</p><p id=\"errors\"></p>";
  body += "<div class=\"ctl\"><label>编号 <input id=\"pid\" value=\"1001\"></label> ";
  body += "<label>姓名 <input id=\"name\" value=\"张三\"></label><br>";
  body +=
      "<button id=\"btn-takeimg\">采集人脸</button><button id=\"btn-takecard\">登记卡号</button>";
  body +=
      "<button id=\"btn-update\">更新姓名</button><button id=\"btn-clearimg\">删除人员</button>";
  body += "</div><div id=\"apimsg\"></div>";
  body += "<p class=\"q\">" + Link(PointsHref(c), "全校积分") + " " +
          Link(SmartSchoolHref(c), "智校功能") + " " +
          Link(AttendanceHref(c), "考勤（新窗口）", "target=\"_blank\" id=\"blank-link\"") + "</p>";
  body += "<p class=\"q\">最近识别 <span id=\"count\">0</span> 条</p><ul id=\"rows\"></ul></main>";
  body += "<script>\nvar PORTAL = {sp: \"" + ScriptString(c.sp) + "\", api: \"" +
          ScriptString(api) + "\", demo: " + std::to_string(demo) + ", click: \"" +
          ScriptString(click) + "\", maxRows: " + std::to_string(kLiveListRows) + "};";
  body += kLiveScript;
  body += "</script>";
  return Document("实时识别", kLiveStyle, body);
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string UrlEncodeComponent(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string ScriptString(std::string_view text) {
  // "</script>" or "<!--" inside a string would end or confuse the element.
  std::string out;
  for (char c : portal::EscapeScriptString(text)) {
    if (c == '<') {
      out += "\\x3c";
    } else if (c == '>') {
      out += "\\x3e";
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> ParamValue(const std::vector<std::string>& params,
                                      std::string_view name) {
  for (const std::string& line : params) {
    if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
        line[name.size()] == '=') {
      return line.substr(name.size() + 1);
    }
    if (line == name) return std::string();
  }
  return std::nullopt;
}

std::optional<std::string> RenderPage(std::string_view document,
                                      const std::vector<std::string>& params,
                                      const SiteInfo& site) {
  Context c;
  c.sp = ParamValue(params, "sp").value_or(site.sp);
  c.hid = ParamValue(params, "hid").value_or(site.hid);
  if (document == kLiveListPath) return LiveListPage(params, c);
  if (document == kPointsPath) return PointsPage(params, c);
  if (document == kAttendancePath) return AttendancePage(params, c);
  if (document == kRegistrationPath) return RegistrationPage(params, c, site);
  if (document == kSmartSchoolPath) return SmartSchoolPage(params, c);
  return std::nullopt;
}

}  // namespace pmr::portal_sim
