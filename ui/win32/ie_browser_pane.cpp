// The IE WebBrowser control hosted as an in-place OLE object, without ATL: one site object
// is the control's client site, in-place site, in-place frame and DWebBrowserEvents2 sink.

#include <exdisp.h>
#include <exdispid.h>
#include <ocidl.h>
#include <ole2.h>
#include <oleidl.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/text.h"
#include "ui/win32/browser_pane.h"
#include "ui/win32/ie_browser_pane.h"
#include "ui/window.h"

namespace pmr::ui::win32 {
namespace {

// Spelled out here so that the library does not depend on which GUIDs the toolchain's
// libuuid happens to carry.
constexpr GUID kClsidWebBrowser = {
    0x8856f961, 0x340a, 0x11d0, {0xa9, 0x6b, 0x00, 0xc0, 0x4f, 0xd7, 0x05, 0xa2}};
constexpr GUID kDiidWebBrowserEvents2 = {
    0x34a715a0, 0x6587, 0x11d0, {0x92, 0x4a, 0x00, 0x20, 0xaf, 0xc7, 0xac, 0x4d}};

constexpr wchar_t kHostClass[] = L"PmrIeBrowserHost";

std::atomic<int> live_sites{0};

std::string HexResult(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

[[noreturn]] void Fail(const char* what, HRESULT hr) {
  throw Error(std::string("IE browser pane: ") + what + " failed (" + HexResult(hr) + ")");
}

// Owns one BSTR.
class Bstr {
 public:
  explicit Bstr(const std::string& utf8) {
    const std::u16string wide = Utf8ToUtf16(utf8);
    value_ = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()),
                               static_cast<UINT>(wide.size()));
    if (value_ == nullptr) throw Error("IE browser pane: out of memory for a string");
  }
  Bstr() = default;
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(value_); }
  BSTR get() const { return value_; }
  BSTR* out() { return &value_; }

 private:
  BSTR value_ = nullptr;
};

std::string ToUtf8(BSTR text) {
  if (text == nullptr) return {};
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text),
                                         SysStringLen(text)));
}

// Releases a COM pointer at scope end.
template <typename T>
class Com {
 public:
  Com() = default;
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  ~Com() { reset(); }
  void reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** out() {
    reset();
    return &p_;
  }
  void** out_void() { return reinterpret_cast<void**>(out()); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// OLE is initialised once per UI thread, at its first pane, and kept for the thread's life:
// panes come and go with the window, and the control's DLLs may outlive a pane.
void EnsureOleOnThisThread() {
  thread_local bool initialised = false;
  if (initialised) return;
  const HRESULT hr = OleInitialize(nullptr);
  if (FAILED(hr)) Fail("OleInitialize (the UI thread must be single-threaded)", hr);
  initialised = true;
}

class IePane;

// The container's side of the control. The pane may go before the control lets go of its
// site, so the site only forwards to the pane while attached.
class IeSite final : public IOleClientSite,
                     public IOleInPlaceSite,
                     public IOleInPlaceFrame,
                     public IDispatch {
 public:
  IeSite(IePane* pane, HWND host) : pane_(pane), host_(host) { ++live_sites; }

  void Detach() {
    pane_ = nullptr;
    host_ = nullptr;
  }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite)) {
      *out = static_cast<IOleClientSite*>(this);
    } else if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceSite)) {
      *out = static_cast<IOleInPlaceSite*>(this);
    } else if (IsEqualIID(iid, IID_IOleInPlaceUIWindow) ||
               IsEqualIID(iid, IID_IOleInPlaceFrame)) {
      *out = static_cast<IOleInPlaceFrame*>(this);
    } else if (IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, kDiidWebBrowserEvents2)) {
      *out = static_cast<IDispatch*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IOleClientSite
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** out) override {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetContainer(IOleContainer** out) override {
    if (out != nullptr) *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow (shared by the in-place site and frame)
  STDMETHODIMP GetWindow(HWND* out) override {
    if (out == nullptr) return E_POINTER;
    *out = host_;
    return host_ != nullptr ? S_OK : E_FAIL;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IOleInPlaceSite
  STDMETHODIMP CanInPlaceActivate() override { return host_ != nullptr ? S_OK : S_FALSE; }
  STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc,
                                LPRECT pos, LPRECT clip, LPOLEINPLACEFRAMEINFO info) override {
    if (frame == nullptr || doc == nullptr || pos == nullptr || clip == nullptr ||
        info == nullptr) {
      return E_POINTER;
    }
    *frame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    *doc = nullptr;
    RECT client{};
    if (host_ != nullptr) GetClientRect(host_, &client);
    *pos = client;
    *clip = client;
    info->cb = sizeof(OLEINPLACEFRAMEINFO);
    info->fMDIApp = FALSE;
    info->hwndFrame = host_ != nullptr ? GetAncestor(host_, GA_ROOT) : nullptr;
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
  STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
  STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
  STDMETHODIMP OnPosRectChange(LPCRECT) override;

  // IOleInPlaceUIWindow / IOleInPlaceFrame: the pane has no toolbars or menus to share.
  STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return S_OK; }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return S_OK; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

  // IDispatch: the DWebBrowserEvents2 sink, called by dispatch id only.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count != nullptr) *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** out) override {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                      EXCEPINFO*, UINT*) override;

 private:
  ~IeSite() { --live_sites; }

  LONG refs_ = 1;
  IePane* pane_;
  HWND host_;
};

class IePane final : public BrowserPane {
 public:
  explicit IePane(HWND parent);
  ~IePane() override;

  void SetBounds(const RECT& bounds) override;
  void Navigate(const std::string& url) override;
  std::string Location() const override;
  void RunScript(const std::string& code) override;
  void SetBeforeNavigate(std::function<void(const std::string&, bool&)> handler) override {
    CheckThread();
    handler_ = std::move(handler);
  }
  bool TranslateAccelerator(MSG& msg) override;
  HWND Handle() const override { return host_; }

  void OnBeforeNavigate(const std::string& url, bool& cancel);
  void FitControl();
  // The host window is being destroyed with its parent: let go of the control while its
  // windows still exist.
  void OnHostDestroyed() {
    Teardown();
    host_ = nullptr;
  }

 private:
  static LRESULT CALLBACK HostProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  static void RegisterHostClass();
  void Teardown();
  // The control is an apartment object: a call from another thread is a caller's bug, told
  // plainly rather than left to COM.
  void CheckThread() const {
    if (GetCurrentThreadId() != thread_) {
      throw Error("IE browser pane: called outside the UI thread that created it");
    }
  }

  DWORD thread_ = GetCurrentThreadId();

  HWND host_ = nullptr;
  IeSite* site_ = nullptr;
  Com<IOleObject> ole_;
  Com<IWebBrowser2> browser_;
  Com<IOleInPlaceObject> in_place_;
  Com<IOleInPlaceActiveObject> active_;
  Com<IConnectionPoint> events_;
  DWORD cookie_ = 0;
  std::function<void(const std::string&, bool&)> handler_;
  int navigating_ = 0;
  bool refused_ = false;  // the handler cancelled during the current Navigate
  std::exception_ptr handler_error_;
};

STDMETHODIMP IeSite::OnPosRectChange(LPCRECT) {
  if (pane_ != nullptr) pane_->FitControl();
  return S_OK;
}

STDMETHODIMP IeSite::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                            EXCEPINFO*, UINT*) {
  if (pane_ == nullptr || id != DISPID_BEFORENAVIGATE2) return S_OK;
  // Arguments arrive last first: rgvarg[6] is the frame's dispatch, [5] the URL, [0] Cancel.
  if (params == nullptr || params->cArgs < 7 || params->rgvarg == nullptr) return S_OK;
  const VARIANT* url = &params->rgvarg[5];
  if (V_VT(url) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(url) != nullptr) {
    url = V_VARIANTREF(url);
  }
  std::string url_text;
  if (V_VT(url) == VT_BSTR) {
    url_text = ToUtf8(V_BSTR(url));
  } else if (V_VT(url) == (VT_BYREF | VT_BSTR) && V_BSTRREF(url) != nullptr) {
    url_text = ToUtf8(*V_BSTRREF(url));
  }
  VARIANT& cancel_arg = params->rgvarg[0];
  VARIANT_BOOL* cancel_out = nullptr;
  if (V_VT(&cancel_arg) == (VT_BYREF | VT_BOOL)) cancel_out = V_BOOLREF(&cancel_arg);
  bool cancel = cancel_out != nullptr && *cancel_out != VARIANT_FALSE;
  // The handler may close the pane, and with it the control's hold on this site.
  AddRef();
  pane_->OnBeforeNavigate(url_text, cancel);
  if (cancel_out != nullptr) *cancel_out = cancel ? VARIANT_TRUE : VARIANT_FALSE;
  Release();
  return S_OK;
}

void IePane::RegisterHostClass() {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &IePane::HostProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kHostClass;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  if (!registered) throw Error("IE browser pane: cannot register the host window class");
}

LRESULT CALLBACK IePane::HostProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* pane = reinterpret_cast<IePane*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_SIZE:
      if (pane != nullptr) pane->FitControl();
      return 0;
    case WM_DESTROY:
      if (pane != nullptr) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        pane->OnHostDestroyed();
      }
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

IePane::IePane(HWND parent) {
  if (parent == nullptr || !IsWindow(parent)) {
    throw Error("IE browser pane: the parent is not a window");
  }
  EnsureOleOnThisThread();
  RegisterHostClass();
  RECT area{};
  GetClientRect(parent, &area);
  // The sunken edge the control shows in a plain host: the two panes stay apart to the eye
  // also before (or without) a page.
  host_ = CreateWindowExW(WS_EX_CLIENTEDGE, kHostClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN |
                          WS_CLIPSIBLINGS, 0, 0, area.right, area.bottom, parent, nullptr,
                          GetModuleHandleW(nullptr), nullptr);
  if (host_ == nullptr) {
    throw Error("IE browser pane: cannot create the host window (error " +
                std::to_string(GetLastError()) + ")");
  }
  SetWindowLongPtrW(host_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  site_ = new IeSite(this, host_);
  try {
    HRESULT hr = CoCreateInstance(kClsidWebBrowser, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IOleObject, ole_.out_void());
    if (FAILED(hr)) Fail("creating the WebBrowser control", hr);
    hr = ole_->SetClientSite(static_cast<IOleClientSite*>(site_));
    if (FAILED(hr)) Fail("IOleObject::SetClientSite", hr);
    RECT client{};
    GetClientRect(host_, &client);
    hr = ole_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(site_),
                      0, host_, &client);
    if (FAILED(hr)) Fail("in-place activation", hr);
    hr = ole_->QueryInterface(IID_IWebBrowser2, browser_.out_void());
    if (FAILED(hr)) Fail("QueryInterface(IWebBrowser2)", hr);
    hr = ole_->QueryInterface(IID_IOleInPlaceObject, in_place_.out_void());
    if (FAILED(hr)) Fail("QueryInterface(IOleInPlaceObject)", hr);
    // Only needed for keyboard messages; a control without it just sees none first.
    if (FAILED(ole_->QueryInterface(IID_IOleInPlaceActiveObject, active_.out_void()))) {
      active_.reset();
    }
    Com<IConnectionPointContainer> points;
    hr = ole_->QueryInterface(IID_IConnectionPointContainer, points.out_void());
    if (FAILED(hr)) Fail("QueryInterface(IConnectionPointContainer)", hr);
    hr = points->FindConnectionPoint(kDiidWebBrowserEvents2, events_.out());
    if (FAILED(hr)) Fail("FindConnectionPoint(DWebBrowserEvents2)", hr);
    hr = events_->Advise(static_cast<IDispatch*>(site_), &cookie_);
    if (FAILED(hr)) {
      cookie_ = 0;
      Fail("subscribing to the browser events", hr);
    }
    FitControl();
  } catch (...) {
    Teardown();
    SetWindowLongPtrW(host_, GWLP_USERDATA, 0);
    DestroyWindow(host_);
    host_ = nullptr;
    throw;
  }
}

IePane::~IePane() {
  Teardown();
  if (host_ != nullptr && IsWindow(host_)) {
    SetWindowLongPtrW(host_, GWLP_USERDATA, 0);
    DestroyWindow(host_);
  }
}

void IePane::Teardown() {
  if (site_ == nullptr) return;
  // Events that still arrive while the control shuts down find a detached site.
  site_->Detach();
  if (events_) {
    if (cookie_ != 0) events_->Unadvise(cookie_);
    cookie_ = 0;
    events_.reset();
  }
  active_.reset();
  if (in_place_) in_place_->InPlaceDeactivate();
  in_place_.reset();
  browser_.reset();
  if (ole_) {
    ole_->Close(OLECLOSE_NOSAVE);
    ole_->SetClientSite(nullptr);
  }
  ole_.reset();
  site_->Release();
  site_ = nullptr;
}

void IePane::FitControl() {
  if (!in_place_ || host_ == nullptr) return;
  RECT client{};
  GetClientRect(host_, &client);
  in_place_->SetObjectRects(&client, &client);
}

void IePane::SetBounds(const RECT& bounds) {
  CheckThread();
  if (host_ == nullptr) return;
  // An inverted rectangle collapses to nothing rather than to a negative size.
  const int width = bounds.right > bounds.left ? bounds.right - bounds.left : 0;
  const int height = bounds.bottom > bounds.top ? bounds.bottom - bounds.top : 0;
  SetWindowPos(host_, nullptr, bounds.left, bounds.top, width, height,
               SWP_NOZORDER | SWP_NOACTIVATE);
  FitControl();
}

void IePane::Navigate(const std::string& url) {
  CheckThread();
  if (!browser_) return;
  if (url.empty()) throw Error("IE browser pane: navigation to an empty address");
  Bstr address(url);
  VARIANT flags, frame, post, headers;
  VariantInit(&flags);
  VariantInit(&frame);
  VariantInit(&post);
  VariantInit(&headers);
  if (navigating_ == 0) refused_ = false;
  ++navigating_;
  const HRESULT hr = browser_->Navigate(address.get(), &flags, &frame, &post, &headers);
  --navigating_;
  if (navigating_ == 0 && handler_error_) {
    std::exception_ptr error = std::exchange(handler_error_, nullptr);
    std::rethrow_exception(error);
  }
  // A refused navigation is the handler's decision, not a failure.
  if (FAILED(hr) && !(navigating_ == 0 && refused_)) Fail(("navigating to " + url).c_str(), hr);
}

void IePane::OnBeforeNavigate(const std::string& url, bool& cancel) {
  // A copy: the handler may replace itself while it runs.
  const auto handler = handler_;
  if (!handler) return;
  try {
    handler(url, cancel);
    if (cancel && navigating_ > 0) refused_ = true;
  } catch (...) {
    // A handler that failed has not approved the page.
    cancel = true;
    if (navigating_ > 0) {
      refused_ = true;
      if (!handler_error_) handler_error_ = std::current_exception();
    } else {
      // Nobody to hand it to: the navigation came from the page, in the message loop.
      OutputDebugStringA(("IE browser pane: navigation handler failed for " + url + "\n").c_str());
    }
  }
}

std::string IePane::Location() const {
  CheckThread();
  if (!browser_) return {};
  Bstr location;
  if (FAILED(browser_->get_LocationURL(location.out()))) return {};
  return ToUtf8(location.get());
}

bool IePane::TranslateAccelerator(MSG& msg) {
  CheckThread();
  if (!active_) return false;
  return active_->TranslateAccelerator(&msg) == S_OK;
}

std::string ScriptFailure(const char* what, HRESULT hr, const std::string& description = {}) {
  std::string message = std::string("IE browser pane: ") + what + " (" + HexResult(hr) + ")";
  if (!description.empty()) message += ": " + description;
  return message;
}

HRESULT IdOfName(IDispatch* object, const wchar_t* name, DISPID& id) {
  std::wstring text(name);
  LPOLESTR names[] = {text.data()};
  id = DISPID_UNKNOWN;
  return object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
}

// Invokes `id` with string arguments given in call order; IDispatch::Invoke takes them last
// first. The error text the page gave, if any, lands in `description`.
HRESULT InvokeWith(IDispatch* object, DISPID id, WORD flags, std::initializer_list<BSTR> args,
                   VARIANT* result, std::string& description) {
  std::vector<VARIANT> reversed(args.size());
  auto arg = std::rbegin(args);
  for (VARIANT& value : reversed) {
    VariantInit(&value);
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = *arg++;  // still owned by the caller
  }
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                    static_cast<UINT>(reversed.size()), 0};
  EXCEPINFO exception{};
  UINT bad_arg = 0;
  const HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                                    &exception, &bad_arg);
  if (hr == DISP_E_EXCEPTION && exception.pfnDeferredFillIn != nullptr) {
    exception.pfnDeferredFillIn(&exception);
  }
  description = ToUtf8(exception.bstrDescription);
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  return hr;
}

void RunWithEval(IDispatch* window, BSTR code) {
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = IdOfName(window, L"eval", id);
  if (FAILED(hr)) throw ScriptError(ScriptFailure("the window offers no way to run a script", hr));
  VARIANT result;
  VariantInit(&result);
  std::string description;
  hr = InvokeWith(window, id, DISPATCH_METHOD, {code}, &result, description);
  VariantClear(&result);
  if (FAILED(hr)) {
    throw ScriptError(ScriptFailure("the page's script failed in eval", hr, description));
  }
}

}  // namespace

void RunScriptInDocument(IDispatch* document, const std::string& code) {
  if (document == nullptr) throw ScriptError("IE browser pane: no document to run a script in yet");
  std::string description;
  DISPID id = DISPID_UNKNOWN;
  VARIANT parent;
  VariantInit(&parent);
  HRESULT hr = IdOfName(document, L"parentWindow", id);
  if (SUCCEEDED(hr)) hr = InvokeWith(document, id, DISPATCH_PROPERTYGET, {}, &parent, description);
  if (FAILED(hr) || V_VT(&parent) != VT_DISPATCH || V_DISPATCH(&parent) == nullptr) {
    VariantClear(&parent);
    throw ScriptError(ScriptFailure("the document has no window", hr));
  }
  Com<IDispatch> window;
  *window.out() = V_DISPATCH(&parent);  // takes over the variant's reference

  Bstr script(code);
  Bstr language(std::string("javascript"));
  hr = IdOfName(window.get(), L"execScript", id);
  if (SUCCEEDED(hr)) {
    VARIANT result;
    VariantInit(&result);
    hr = InvokeWith(window.get(), id, DISPATCH_METHOD, {script.get(), language.get()}, &result,
                    description);
    VariantClear(&result);
    if (SUCCEEDED(hr)) return;
  }
  if (hr == E_NOTIMPL || hr == E_NOINTERFACE || hr == DISP_E_UNKNOWNNAME ||
      hr == DISP_E_MEMBERNOTFOUND) {
    // Newer document modes no longer offer execScript; their window still has eval.
    RunWithEval(window.get(), script.get());
    return;
  }
  // A script that failed may have run in part: it is never run a second time.
  if (hr == DISP_E_EXCEPTION) {
    throw ScriptError(ScriptFailure("the page's script failed", hr, description));
  }
  throw ScriptError(ScriptFailure("execScript refused the script", hr));
}

void IePane::RunScript(const std::string& code) {
  CheckThread();
  if (!browser_) throw ScriptError("IE browser pane: the pane is closed");
  Com<IDispatch> document;
  const HRESULT hr = browser_->get_Document(document.out());
  if (FAILED(hr) || !document) {
    throw ScriptError("IE browser pane: no document to run a script in yet");
  }
  RunScriptInDocument(document.get(), code);
}

int IeLiveSiteCount() { return live_sites.load(); }

std::unique_ptr<BrowserPane> CreateIeBrowserPane(HWND parent) {
  return std::make_unique<IePane>(parent);
}

}  // namespace pmr::ui::win32
