#include "app/AccessibleMark_win32.h"

#include <oleacc.h>

#include <exception>
#include <new>

#include "fileutil/SystemDll_win32.h"

namespace {

constexpr const char* kMarkStateProp = "StirpelloAccessibleMark";

struct TMarkState {
    WNDPROC original = nullptr;
    std::wstring name;
};

TMarkState* StateOf(HWND control) { return static_cast<TMarkState*>(GetPropA(control, kMarkStateProp)); }

bool IsSelf(const VARIANT& child) { return child.vt == VT_I4 && child.lVal == CHILDID_SELF; }

// The system's accessible object for the control, with the name replaced.
// It holds only the window handle: a client may keep it after the control is
// gone, and it then answers as the system's object does for a dead window.
class TMarkAccessible final : public IAccessible, public IOleWindow {
public:
    TMarkAccessible(HWND control, IAccessible* standard) : control_(control), standard_(standard) {}
    TMarkAccessible(const TMarkAccessible&) = delete;
    TMarkAccessible& operator=(const TMarkAccessible&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IDispatch) || iid == __uuidof(IAccessible)) {
            *out = static_cast<IAccessible*>(this);
        } else if (iid == __uuidof(IOleWindow)) {
            *out = static_cast<IOleWindow*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    // IOleWindow: how oleacc finds the window an object belongs to.
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override {
        if (window == nullptr) return E_POINTER;
        *window = control_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return standard_->GetTypeInfoCount(count); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
        return standard_->GetTypeInfo(index, lcid, info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override {
        return standard_->GetIDsOfNames(iid, names, count, lcid, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excep, UINT* argErr) override {
        return standard_->Invoke(id, iid, lcid, flags, params, result, excep, argErr);
    }

    // IAccessible: the name is ours, the rest the system's.
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
        if (!IsSelf(child)) return standard_->get_accName(child, name);
        if (name == nullptr) return E_POINTER;
        *name = nullptr;
        const TMarkState* state = StateOf(control_);
        if (state == nullptr) return standard_->get_accName(child, name);
        if (state->name.empty()) return S_FALSE;
        try {
            static const auto allocString =
                SystemDllFunction<decltype(&SysAllocString)>("oleaut32.dll", "SysAllocString");
            *name = allocString(state->name.c_str());
        } catch (const std::exception&) {
            return E_FAIL;
        }
        return *name != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override { return standard_->get_accParent(parent); }
    HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override { return standard_->get_accChildCount(count); }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
        return standard_->get_accChild(child, out);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
        return standard_->get_accValue(child, value);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* text) override {
        return standard_->get_accDescription(child, text);
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
        return standard_->get_accRole(child, role);
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
        return standard_->get_accState(child, state);
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* help) override {
        return standard_->get_accHelp(child, help);
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override {
        return standard_->get_accHelpTopic(file, child, topic);
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* keys) override {
        return standard_->get_accKeyboardShortcut(child, keys);
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* child) override { return standard_->get_accFocus(child); }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* children) override {
        return standard_->get_accSelection(children);
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
        return standard_->get_accDefaultAction(child, action);
    }
    HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) override {
        return standard_->accSelect(flags, child);
    }
    HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                          VARIANT child) override {
        return standard_->accLocation(left, top, width, height, child);
    }
    HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
        return standard_->accNavigate(direction, start, end);
    }
    HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* child) override {
        return standard_->accHitTest(x, y, child);
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        return standard_->accDoDefaultAction(child);
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

private:
    ~TMarkAccessible() { standard_->Release(); }

    ULONG refs_ = 1;
    HWND control_;
    IAccessible* standard_;
};

// The answer to WM_GETOBJECT for the client area; false leaves it to the
// control's own procedure (and so to the system's object).
bool AnswerClientObject(HWND control, WPARAM flags, LRESULT& result) {
    try {
        static const auto createStandard = SystemDllFunction<decltype(&CreateStdAccessibleObject)>(
            "oleacc.dll", "CreateStdAccessibleObject");
        static const auto resultFromObject =
            SystemDllFunction<decltype(&LresultFromObject)>("oleacc.dll", "LresultFromObject");
        IAccessible* standard = nullptr;
        if (FAILED(createStandard(control, OBJID_CLIENT, __uuidof(IAccessible), reinterpret_cast<void**>(&standard))) ||
            standard == nullptr)
            return false;
        auto* object = new (std::nothrow) TMarkAccessible(control, standard);
        if (object == nullptr) {
            standard->Release();
            return false;
        }
        result = resultFromObject(__uuidof(IAccessible), flags, static_cast<IAccessible*>(object));
        object->Release();
        // A negative answer is an error code: the system's object is better
        // than none.
        return result > 0;
    } catch (const std::exception&) {
        return false;
    }
}

LRESULT CALLBACK MarkProc(HWND control, UINT msg, WPARAM wp, LPARAM lp) {
    TMarkState* state = StateOf(control);
    if (state == nullptr) return DefWindowProcW(control, msg, wp, lp);
    const WNDPROC original = state->original;
    if (msg == WM_GETOBJECT && static_cast<LONG>(lp) == OBJID_CLIENT) {
        LRESULT result = 0;
        if (AnswerClientObject(control, wp, result)) return result;
    } else if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
        RemovePropA(control, kMarkStateProp);
        delete state;
    }
    return CallWindowProcW(original, control, msg, wp, lp);
}

}  // namespace

void MakeAccessibleMark(HWND control) {
    if (control == nullptr || StateOf(control) != nullptr) return;
    auto* state = new (std::nothrow) TMarkState;
    if (state == nullptr) return;
    if (!SetPropA(control, kMarkStateProp, state)) {
        delete state;
        return;
    }
    state->original = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&MarkProc)));
    if (state->original == nullptr) {
        RemovePropA(control, kMarkStateProp);
        delete state;
    }
}

void SetAccessibleMarkName(HWND control, const std::wstring& name) {
    TMarkState* state = StateOf(control);
    if (state == nullptr || state->name == name) return;
    try {
        state->name = name;
    } catch (const std::exception&) {
        return;
    }
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, control, OBJID_CLIENT, CHILDID_SELF);
}
