// The IE pane against the real WebBrowser control. Under Wine the control runs without an
// HTML engine: the test prefix is made with mshtml switched off (scripts/wine-setup.sh), so
// neither the about: protocol nor a text/html document is registered, pages never render,
// scripts never run, and Wine never offers to download its Gecko engine. Navigation itself,
// its BeforeNavigate2 event with the cancel flag, and the location still work. The script
// call, which needs a document, runs against hand-made late-bound doubles instead.

// Winsock's header must come before windows.h, which browser_pane.h includes.
#include <winsock2.h>

#include "ui/win32/browser_pane.h"

#include <ole2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "ui/win32/ie_browser_pane.h"
#include "ui/window.h"

namespace pmr::ui::win32 {
namespace {

bool UnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Runs the message loop until `done` holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, int timeout_ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done && done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

void PumpFor(int ms) { PumpUntil(nullptr, ms); }

HWND FirstChild(HWND window) { return window ? GetWindow(window, GW_CHILD) : nullptr; }

// A small HTML file in the temporary folder, removed at the end.
class TempPage {
 public:
  explicit TempPage(const wchar_t* name) {
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    path_ = std::wstring(dir) + name;
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write the test page");
    const char body[] = "<html><body>pane test</body></html>";
    DWORD written = 0;
    WriteFile(file, body, sizeof body - 1, &written, nullptr);
    CloseHandle(file);
    char narrow[MAX_PATH * 3];
    WideCharToMultiByte(CP_UTF8, 0, path_.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
    std::string forward = narrow;
    for (char& c : forward) {
      if (c == '\\') c = '/';
    }
    url_ = "file:///" + forward;
  }
  ~TempPage() { DeleteFileW(path_.c_str()); }
  const std::string& url() const { return url_; }

 private:
  std::wstring path_;
  std::string url_;
};

// A page server on a free loopback port that records the request lines it is sent. Winsock
// is loaded at run time: the test program links no socket library.
class PageServer {
 public:
  PageServer() {
    ws2_ = LoadLibraryW(L"ws2_32.dll");
    if (ws2_ == nullptr) throw std::runtime_error("no ws2_32.dll");
    Load(startup_, "WSAStartup");
    Load(socket_, "socket");
    Load(bind_, "bind");
    Load(listen_, "listen");
    Load(accept_, "accept");
    Load(select_, "select");
    Load(recv_, "recv");
    Load(send_, "send");
    Load(close_, "closesocket");
    Load(name_, "getsockname");
    WSADATA data;
    if (startup_(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
    listener_ = socket_(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    // Network byte order by hand: htonl and ntohs live in ws2_32 too.
    address.sin_addr.S_un.S_un_b = {127, 0, 0, 1};
    address.sin_port = 0;
    int size = sizeof address;
    if (listener_ == INVALID_SOCKET ||
        bind_(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen_(listener_, 4) != 0 ||
        name_(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    const auto* port = reinterpret_cast<const unsigned char*>(&address.sin_port);
    port_ = static_cast<unsigned short>(port[0] << 8 | port[1]);
    thread_ = std::thread([this] { Serve(); });
  }
  ~PageServer() {
    stop_ = true;
    thread_.join();
    close_(listener_);
    FreeLibrary(ws2_);
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  template <typename F>
  void Load(F& fn, const char* name) {
    fn = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(ws2_, name)));
    if (fn == nullptr) throw std::runtime_error(std::string("ws2_32 lacks ") + name);
  }
  bool Readable(SOCKET s, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{0, ms * 1000};
    return select_(0, &set, nullptr, nullptr, &wait) == 1;
  }
  void Serve() {
    while (!stop_) {
      if (!Readable(listener_, 50)) continue;
      SOCKET peer = accept_(listener_, nullptr, nullptr);
      if (peer == INVALID_SOCKET) continue;
      std::string head;
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      char buffer[1024];
      while (head.find("\r\n\r\n") == std::string::npos &&
             std::chrono::steady_clock::now() < end && Readable(peer, 100)) {
        const int got = recv_(peer, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        head.append(buffer, static_cast<size_t>(got));
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(head.substr(0, head.find("\r\n")));
      }
      const std::string body = "<html><body>served</body></html>";
      const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
      send_(peer, reply.data(), static_cast<int>(reply.size()), 0);
      close_(peer);
    }
  }

  HMODULE ws2_ = nullptr;
  decltype(&::WSAStartup) startup_ = nullptr;
  decltype(&::socket) socket_ = nullptr;
  decltype(&::bind) bind_ = nullptr;
  decltype(&::listen) listen_ = nullptr;
  decltype(&::accept) accept_ = nullptr;
  decltype(&::select) select_ = nullptr;
  decltype(&::recv) recv_ = nullptr;
  decltype(&::send) send_ = nullptr;
  decltype(&::closesocket) close_ = nullptr;
  decltype(&::getsockname) name_ = nullptr;
  SOCKET listener_ = INVALID_SOCKET;
  unsigned short port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

class IeBrowserPaneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"PmrIePaneTestParent";
    RegisterClassExW(&wc);
    parent_ = CreateWindowExW(0, wc.lpszClassName, L"pane test", WS_OVERLAPPEDWINDOW |
                              WS_CLIPCHILDREN, 0, 0, 900, 700, nullptr, nullptr,
                              wc.hInstance, nullptr);
    ASSERT_NE(parent_, nullptr);
    sites_before_ = IeLiveSiteCount();
  }
  void TearDown() override {
    pane_.reset();
    if (parent_ != nullptr && IsWindow(parent_)) DestroyWindow(parent_);
    PumpFor(20);
    EXPECT_EQ(IeLiveSiteCount(), sites_before_) << "a site outlived its pane";
  }

  BrowserPane& MakePane() {
    pane_ = CreateIeBrowserPane(parent_);
    return *pane_;
  }
  // Records every BeforeNavigate2 and cancels those whose URL contains `refuse`.
  void Record(BrowserPane& pane, std::vector<std::string>& urls, std::string refuse = {}) {
    pane.SetBeforeNavigate([&urls, refuse](const std::string& url, bool& cancel) {
      urls.push_back(url);
      if (!refuse.empty() && url.find(refuse) != std::string::npos) cancel = true;
    });
  }

  HWND parent_ = nullptr;
  std::unique_ptr<BrowserPane> pane_;
  int sites_before_ = 0;
};

TEST_F(IeBrowserPaneTest, IsCreatedInPlaceActiveInAChildOfItsParent) {
  ShowWindow(parent_, SW_SHOWNOACTIVATE);
  BrowserPane& pane = MakePane();
  HWND host = pane.Handle();
  ASSERT_NE(host, nullptr);
  EXPECT_TRUE(IsWindow(host));
  EXPECT_EQ(GetParent(host), parent_);
  EXPECT_TRUE(GetWindowLongPtrW(host, GWL_STYLE) & WS_CHILD);
  // The active control shows its own window over the whole host.
  HWND control = FirstChild(host);
  ASSERT_NE(control, nullptr);
  EXPECT_TRUE(IsWindowVisible(control));
  RECT outer{}, inner{};
  GetClientRect(host, &outer);
  GetClientRect(control, &inner);
  EXPECT_EQ(inner.right, outer.right);
  EXPECT_EQ(inner.bottom, outer.bottom);
  EXPECT_EQ(IeLiveSiteCount(), sites_before_ + 1);
  EXPECT_EQ(pane.Location(), "");
}

TEST_F(IeBrowserPaneTest, RefusesAParentThatIsNoWindow) {
  EXPECT_THROW(CreateIeBrowserPane(nullptr), Error);
  HWND gone = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, parent_, nullptr,
                              nullptr, nullptr);
  DestroyWindow(gone);
  EXPECT_THROW(CreateIeBrowserPane(gone), Error);
  EXPECT_EQ(IeLiveSiteCount(), sites_before_);
}

TEST_F(IeBrowserPaneTest, SetBoundsMovesTheHostAndSizesTheControl) {
  BrowserPane& pane = MakePane();
  pane.SetBounds(RECT{12, 34, 412, 334});
  RECT placed{};
  GetWindowRect(pane.Handle(), &placed);
  MapWindowPoints(HWND_DESKTOP, parent_, reinterpret_cast<POINT*>(&placed), 2);
  EXPECT_EQ(placed.left, 12);
  EXPECT_EQ(placed.top, 34);
  EXPECT_EQ(placed.right, 412);
  EXPECT_EQ(placed.bottom, 334);
  HWND control = FirstChild(pane.Handle());
  ASSERT_NE(control, nullptr);
  // The control fills the host inside its sunken edge.
  RECT host_client{};
  GetClientRect(pane.Handle(), &host_client);
  EXPECT_GT(host_client.right, 390);
  EXPECT_GT(host_client.bottom, 290);
  RECT inner{};
  GetClientRect(control, &inner);
  EXPECT_EQ(inner.right - inner.left, host_client.right);
  EXPECT_EQ(inner.bottom - inner.top, host_client.bottom);

  pane.SetBounds(RECT{50, 50, 10, 10});
  GetClientRect(pane.Handle(), &inner);
  EXPECT_EQ(inner.right, 0);
  EXPECT_EQ(inner.bottom, 0);
}

TEST_F(IeBrowserPaneTest, NavigateRaisesBeforeNavigateInsideTheCallAndMovesTheLocation) {
  BrowserPane& pane = MakePane();
  std::vector<std::string> urls;
  Record(pane, urls);
  pane.Navigate("about:blank");
  // Seen before Navigate returned, with no message loop in between.
  ASSERT_EQ(urls, std::vector<std::string>{"about:blank"});
  EXPECT_EQ(pane.Location(), "about:blank");

  // The control would make "http:///" of it.
  EXPECT_THROW(pane.Navigate(""), Error);
  EXPECT_EQ(urls.size(), 1u);
}

TEST_F(IeBrowserPaneTest, CancelledNavigationsKeepTheLocation) {
  BrowserPane& pane = MakePane();
  std::vector<std::string> urls;
  Record(pane, urls, "about:");
  pane.Navigate("about:blank");
  EXPECT_EQ(urls.size(), 1u);
  EXPECT_EQ(pane.Location(), "");

  Record(pane, urls, "pmr_ie_pane_refused");
  pane.Navigate("about:blank");
  ASSERT_EQ(pane.Location(), "about:blank");
  TempPage page(L"pmr_ie_pane_refused.html");
  urls.clear();
  pane.Navigate(page.url());
  ASSERT_TRUE(PumpUntil([&] { return !urls.empty(); })) << "no BeforeNavigate2 for the file";
  PumpFor(300);
  EXPECT_EQ(pane.Location(), "about:blank");
}

TEST_F(IeBrowserPaneTest, FileUrlIsAnnouncedAndBecomesTheLocation) {
  BrowserPane& pane = MakePane();
  std::vector<std::string> urls;
  Record(pane, urls);
  TempPage page(L"pmr_ie_pane_shown.html");
  pane.Navigate(page.url());
  // IE announces it inside Navigate; Wine from the message loop, as a plain path.
  ASSERT_TRUE(PumpUntil([&] { return !urls.empty(); })) << "no BeforeNavigate2 for the file";
  EXPECT_NE(urls.front().find("pmr_ie_pane_shown.html"), std::string::npos) << urls.front();
  ASSERT_TRUE(PumpUntil([&] {
    return pane.Location().find("pmr_ie_pane_shown.html") != std::string::npos;
  })) << pane.Location();
  if (UnderWine()) {
    // Wine's HTML engine would prompt for a download of Gecko; it must stay unloaded here.
    EXPECT_EQ(GetModuleHandleW(L"mshtml.dll"), nullptr);
  }
}

TEST_F(IeBrowserPaneTest, AnAcceptedPageIsFetchedAndARefusedOneIsNot) {
  PageServer server;
  BrowserPane& pane = MakePane();
  std::vector<std::string> urls;
  Record(pane, urls, "refused");
  pane.Navigate(server.Url("/refused.html"));
  ASSERT_EQ(urls, std::vector<std::string>{server.Url("/refused.html")});
  pane.Navigate(server.Url("/shown.html"));
  ASSERT_EQ(urls.size(), 2u);
  EXPECT_EQ(urls[1], server.Url("/shown.html"));
  ASSERT_TRUE(PumpUntil([&] { return !server.Requests().empty(); })) << "the page was not fetched";
  PumpFor(300);
  EXPECT_EQ(server.Requests(), std::vector<std::string>{"GET /shown.html HTTP/1.1"});
  EXPECT_EQ(pane.Location(), server.Url("/shown.html"));
  if (UnderWine()) {
    EXPECT_EQ(GetModuleHandleW(L"mshtml.dll"), nullptr);
  }
}

TEST_F(IeBrowserPaneTest, AHandlerThatThrowsFailsNavigateAndLeavesThePaneWorking) {
  BrowserPane& pane = MakePane();
  pane.SetBeforeNavigate([](const std::string&, bool&) { throw std::runtime_error("refused"); });
  try {
    pane.Navigate("about:blank");
    ADD_FAILURE() << "Navigate did not pass on the handler's exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "refused");
  }
  EXPECT_EQ(pane.Location(), "") << "a failed handler must not let the page through";

  // Outside Navigate the exception has nowhere to go: the navigation is refused quietly.
  TempPage page(L"pmr_ie_pane_thrown.html");
  int calls = 0;
  pane.SetBeforeNavigate([&calls](const std::string&, bool&) {
    ++calls;
    throw std::runtime_error("refused again");
  });
  try {
    pane.Navigate(page.url());
  } catch (const std::runtime_error&) {
    // IE calls the handler inside Navigate.
  }
  ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
  PumpFor(300);
  EXPECT_EQ(pane.Location(), "");

  std::vector<std::string> urls;
  Record(pane, urls);
  pane.Navigate("about:blank");
  EXPECT_EQ(urls.size(), 1u);
  EXPECT_EQ(pane.Location(), "about:blank");
}

TEST_F(IeBrowserPaneTest, AHandlerMayReplaceItselfWhileItRuns) {
  BrowserPane& pane = MakePane();
  std::vector<std::string> seen;
  const std::string tag(200, 'x');  // a capture on the heap, freed with the old handler
  pane.SetBeforeNavigate([&pane, &seen, tag](const std::string& url, bool& cancel) {
    pane.SetBeforeNavigate([&seen](const std::string& next, bool&) { seen.push_back("2:" + next); });
    seen.push_back(tag.substr(0, 1) + ":" + url);
    // Refused, so that the same address is announced again (Wine stays quiet for a repeat
    // of the page it is on).
    cancel = true;
  });
  pane.Navigate("about:blank");
  pane.Navigate("about:blank");
  EXPECT_EQ(seen, (std::vector<std::string>{"x:about:blank", "2:about:blank"}));
}

TEST_F(IeBrowserPaneTest, TwoPanesInOneParentHaveTheirOwnEvents) {
  BrowserPane& left = MakePane();
  std::unique_ptr<BrowserPane> right = CreateIeBrowserPane(parent_);
  EXPECT_NE(left.Handle(), right->Handle());
  std::vector<std::string> left_urls, right_urls;
  Record(left, left_urls);
  Record(*right, right_urls, "about:");
  right->Navigate("about:blank");
  EXPECT_TRUE(left_urls.empty());
  EXPECT_EQ(right_urls.size(), 1u);
  left.Navigate("about:blank");
  EXPECT_EQ(left_urls.size(), 1u);
  EXPECT_EQ(left.Location(), "about:blank");
  EXPECT_EQ(right->Location(), "");
  EXPECT_EQ(IeLiveSiteCount(), sites_before_ + 2);
}

TEST_F(IeBrowserPaneTest, RunScriptWithoutADocumentIsAScriptError) {
  BrowserPane& pane = MakePane();
  try {
    pane.RunScript("ins('fp1', 'x', '')");
    ADD_FAILURE() << "a script ran with no page";
  } catch (const ScriptError& e) {
    EXPECT_NE(std::string(e.what()).find("no document"), std::string::npos) << e.what();
  }
  if (UnderWine()) {
    // Without an HTML engine no navigation ever produces a document.
    pane.Navigate("about:blank");
    PumpFor(200);
    EXPECT_THROW(pane.RunScript("1"), ScriptError);
  }
}

TEST_F(IeBrowserPaneTest, ThePaneGoesBeforeItsParentCleanly) {
  BrowserPane& pane = MakePane();
  pane.Navigate("about:blank");
  HWND host = pane.Handle();
  pane_.reset();
  EXPECT_FALSE(IsWindow(host));
  EXPECT_EQ(IeLiveSiteCount(), sites_before_);
  DestroyWindow(parent_);
  PumpFor(50);
}

TEST_F(IeBrowserPaneTest, TheParentMayGoFirst) {
  BrowserPane& pane = MakePane();
  std::vector<std::string> urls;
  Record(pane, urls);
  pane.Navigate("about:blank");
  DestroyWindow(parent_);
  PumpFor(50);
  // The control is released with its windows, before the pane itself goes.
  EXPECT_EQ(IeLiveSiteCount(), sites_before_);
  EXPECT_EQ(pane.Handle(), nullptr);
  pane.Navigate("about:blank");
  pane.SetBounds(RECT{0, 0, 10, 10});
  EXPECT_EQ(pane.Location(), "");
  EXPECT_THROW(pane.RunScript("1"), ScriptError);
  MSG msg{};
  EXPECT_FALSE(pane.TranslateAccelerator(msg));
  EXPECT_EQ(urls.size(), 1u);
  pane_.reset();
}

TEST_F(IeBrowserPaneTest, CallsFromAnotherThreadAreRefused) {
  BrowserPane& pane = MakePane();
  std::string error;
  std::thread other([&] {
    try {
      pane.Navigate("about:blank");
    } catch (const Error& e) {
      error = e.what();
    }
  });
  other.join();
  EXPECT_NE(error.find("UI thread"), std::string::npos) << error;
  EXPECT_EQ(pane.Location(), "");
}

// One IDispatch::Invoke as the callee saw it; arguments in the order Invoke got them.
struct Invoked {
  DISPID id = DISPID_UNKNOWN;
  WORD flags = 0;
  std::vector<VARTYPE> types;
  std::vector<std::u16string> texts;  // each BSTR's code units, by its length prefix
  UINT named = 0;
  bool iid_null = false;
  bool operator==(const Invoked&) const = default;
};

// Failures show each code unit: non-ASCII ones as \uXXXX.
void PrintTo(const Invoked& call, std::ostream* out) {
  *out << "{id " << call.id << ", flags " << call.flags << ", named " << call.named
       << (call.iid_null ? "" : ", riid not IID_NULL") << ", types";
  for (VARTYPE type : call.types) *out << " " << type;
  for (const std::u16string& text : call.texts) {
    *out << ", \"";
    for (char16_t c : text) {
      if (c >= 0x20 && c < 0x7F) {
        *out << static_cast<char>(c);
      } else {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
        *out << escaped;
      }
    }
    *out << "\"";
  }
  *out << "}";
}

// A late-bound object made by hand: a table of names and DISPIDs, a behaviour per DISPID,
// and a record of every lookup and call.
class FakeDispatch final : public IDispatch {
 public:
  using Behaviour = std::function<HRESULT(VARIANT* result, EXCEPINFO* error)>;

  explicit FakeDispatch(std::map<std::u16string, DISPID> names) : names_(std::move(names)) {}
  FakeDispatch(const FakeDispatch&) = delete;
  FakeDispatch& operator=(const FakeDispatch&) = delete;
  ~FakeDispatch() { EXPECT_EQ(refs_, 1) << "a reference was kept or released twice"; }

  void On(DISPID id, Behaviour behaviour) { behaviours_[id] = std::move(behaviour); }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) return E_NOINTERFACE;
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs_); }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    EXPECT_TRUE(IsEqualIID(iid, IID_NULL));
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      const std::u16string name(reinterpret_cast<const char16_t*>(names[i]));
      looked_up.push_back(name);
      const auto found = names_.find(name);
      ids[i] = found != names_.end() ? found->second : DISPID_UNKNOWN;
      if (found == names_.end()) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* error, UINT*) override {
    Invoked call;
    call.id = id;
    call.flags = flags;
    call.named = params->cNamedArgs;
    call.iid_null = IsEqualIID(iid, IID_NULL) != 0;
    for (UINT i = 0; i < params->cArgs; ++i) {
      const VARIANT& arg = params->rgvarg[i];
      call.types.push_back(V_VT(&arg));
      if (V_VT(&arg) == VT_BSTR) {
        call.texts.emplace_back(reinterpret_cast<const char16_t*>(V_BSTR(&arg)),
                                SysStringByteLen(V_BSTR(&arg)) / 2);
      }
    }
    calls.push_back(call);
    const auto behaviour = behaviours_.find(id);
    if (behaviour == behaviours_.end()) return DISP_E_MEMBERNOTFOUND;
    return behaviour->second(result, error);
  }

  std::vector<std::u16string> looked_up;
  std::vector<Invoked> calls;

 private:
  LONG refs_ = 1;
  std::map<std::u16string, DISPID> names_;
  std::map<DISPID, Behaviour> behaviours_;
};

constexpr DISPID kParentWindow = 1001;
constexpr DISPID kExecScript = 2001;
constexpr DISPID kEval = 2002;

// The live list's call with a Chinese file name, as the form hands it over (UTF-8) and as the
// window must receive it (UTF-16: 张 U+5F20, 三 U+4E09).
const std::string kIns =
    "ins(\"fp1001\",\"http://127.0.0.1:8091/张三.jpg\",\"2026/12/10 8:00:00\")";
const std::u16string kInsUtf16 =
    u"ins(\"fp1001\",\"http://127.0.0.1:8091/\u5F20\u4E09.jpg\",\"2026/12/10 8:00:00\")";

// A call with string arguments only, listed as Invoke gets them (last first).
Invoked Call(DISPID id, WORD flags, std::vector<std::u16string> texts) {
  Invoked call;
  call.id = id;
  call.flags = flags;
  call.types.assign(texts.size(), VT_BSTR);
  call.texts = std::move(texts);
  call.iid_null = true;
  return call;
}

HRESULT Fails(EXCEPINFO* error, HRESULT hr, const wchar_t* description) {
  if (description != nullptr) error->bstrDescription = SysAllocString(description);
  return hr;
}

// A document whose parentWindow is `window`, and a window that answers execScript and eval.
struct Page {
  Page() {
    document.On(kParentWindow, [this](VARIANT* result, EXCEPINFO*) {
      window.AddRef();
      V_VT(result) = VT_DISPATCH;
      V_DISPATCH(result) = &window;
      return S_OK;
    });
  }
  // The calls the window must see.
  static Invoked ExecScript() {
    return Call(kExecScript, DISPATCH_METHOD, {u"javascript", kInsUtf16});
  }
  static Invoked Eval() { return Call(kEval, DISPATCH_METHOD, {kInsUtf16}); }
  std::string Error() {
    try {
      RunScriptInDocument(&document, kIns);
    } catch (const ScriptError& e) {
      return e.what();
    }
    return "";
  }

  FakeDispatch window{{{u"execScript", kExecScript}, {u"eval", kEval}}};
  FakeDispatch document{{{u"parentWindow", kParentWindow}}};
};

TEST(IeScriptTest, RunsThroughTheParentWindowsExecScriptLateBound) {
  Page page;
  page.window.On(kExecScript, [](VARIANT* result, EXCEPINFO*) {
    V_VT(result) = VT_BSTR;  // a value the caller must free
    V_BSTR(result) = SysAllocString(L"done");
    return S_OK;
  });
  RunScriptInDocument(&page.document, kIns);
  EXPECT_EQ(page.document.looked_up, std::vector<std::u16string>{u"parentWindow"});
  EXPECT_EQ(page.document.calls,
            std::vector<Invoked>{Call(kParentWindow, DISPATCH_PROPERTYGET, {})});
  EXPECT_EQ(page.window.looked_up, std::vector<std::u16string>{u"execScript"});
  // Invoke gets the arguments last first: the language, then the code.
  ASSERT_EQ(page.window.calls.size(), 1u);
  EXPECT_EQ(page.window.calls[0], page.ExecScript());
  EXPECT_EQ(page.window.calls[0].texts[1].size(), kInsUtf16.size());
}

TEST(IeScriptTest, AWindowWithoutExecScriptRunsTheCodeThroughEval) {
  // The name is there but the call is not (newer document modes).
  for (HRESULT refusal : {DISP_E_MEMBERNOTFOUND, E_NOTIMPL}) {
    Page page;
    page.window.On(kExecScript, [refusal](VARIANT*, EXCEPINFO*) { return refusal; });
    page.window.On(kEval, [](VARIANT*, EXCEPINFO*) { return S_OK; });
    RunScriptInDocument(&page.document, kIns);
    EXPECT_EQ(page.window.looked_up, (std::vector<std::u16string>{u"execScript", u"eval"}));
    EXPECT_EQ(page.window.calls, (std::vector<Invoked>{page.ExecScript(), page.Eval()}));
  }
  // The name is not there at all.
  FakeDispatch window({{u"eval", kEval}});
  window.On(kEval, [](VARIANT*, EXCEPINFO*) { return S_OK; });
  Page page;
  page.document.On(kParentWindow, [&window](VARIANT* result, EXCEPINFO*) {
    window.AddRef();
    V_VT(result) = VT_DISPATCH;
    V_DISPATCH(result) = &window;
    return S_OK;
  });
  RunScriptInDocument(&page.document, kIns);
  EXPECT_EQ(window.looked_up, (std::vector<std::u16string>{u"execScript", u"eval"}));
  EXPECT_EQ(window.calls, std::vector<Invoked>{page.Eval()});
}

TEST(IeScriptTest, FailuresAreScriptErrorsThatSayWhichStepFailed) {
  {  // Both ways fail: the page's own text is passed on.
    Page page;
    page.window.On(kExecScript, [](VARIANT*, EXCEPINFO*) { return E_NOTIMPL; });
    page.window.On(kEval, [](VARIANT*, EXCEPINFO* error) {
      return Fails(error, DISP_E_EXCEPTION, L"'ins' \u672A\u5B9A\u4E49");
    });
    EXPECT_EQ(page.Error(),
              "IE browser pane: the page's script failed in eval (0x80020009): 'ins' 未定义");
    EXPECT_EQ(page.window.calls, (std::vector<Invoked>{page.ExecScript(), page.Eval()}));
  }
  {  // The script itself failed: never run a second time. Its text may come on request.
    Page page;
    page.window.On(kExecScript, [](VARIANT*, EXCEPINFO* error) {
      error->pfnDeferredFillIn = [](EXCEPINFO* late) -> HRESULT {
        late->bstrDescription = SysAllocString(L"Object expected");
        return S_OK;
      };
      return DISP_E_EXCEPTION;
    });
    EXPECT_EQ(page.Error(),
              "IE browser pane: the page's script failed (0x80020009): Object expected");
    EXPECT_EQ(page.window.calls, std::vector<Invoked>{page.ExecScript()});
  }
  {  // Refused for another reason: no second try either.
    Page page;
    page.window.On(kExecScript, [](VARIANT*, EXCEPINFO*) { return E_ACCESSDENIED; });
    EXPECT_EQ(page.Error(), "IE browser pane: execScript refused the script (0x80070005)");
    EXPECT_EQ(page.window.calls.size(), 1u);
  }
  {  // A window with neither name.
    FakeDispatch bare({});
    Page page;
    page.document.On(kParentWindow, [&bare](VARIANT* result, EXCEPINFO*) {
      bare.AddRef();
      V_VT(result) = VT_DISPATCH;
      V_DISPATCH(result) = &bare;
      return S_OK;
    });
    EXPECT_EQ(page.Error(),
              "IE browser pane: the window offers no way to run a script (0x80020006)");
    EXPECT_TRUE(bare.calls.empty());
  }
  {  // A document without a window: no name, an empty value, a failed read.
    FakeDispatch no_name({});
    EXPECT_THROW(RunScriptInDocument(&no_name, kIns), ScriptError);
    Page page;
    page.document.On(kParentWindow, [](VARIANT*, EXCEPINFO*) { return S_OK; });
    EXPECT_EQ(page.Error(), "IE browser pane: the document has no window (0x00000000)");
    page.document.On(kParentWindow, [](VARIANT*, EXCEPINFO*) { return E_FAIL; });
    EXPECT_EQ(page.Error(), "IE browser pane: the document has no window (0x80004005)");
    EXPECT_TRUE(page.window.calls.empty());
  }
  EXPECT_THROW(RunScriptInDocument(nullptr, kIns), ScriptError);
}

}  // namespace
}  // namespace pmr::ui::win32
