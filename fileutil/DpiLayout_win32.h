#pragma once
// The one place where a window's layout meets the display scale. Forms give
// every position, size and font height at 96 dpi, as they are designed; a
// TDpiLayout maps them to the DPI of the window they are shown in, and maps
// them again when the window moves to a monitor of another scale.
//
// The per-monitor functions (GetDpiForWindow, AdjustWindowRectExForDpi,
// GetSystemMetricsForDpi, LoadIconWithScaleDown) are looked up at run time:
// older Windows lacks them, and the system DPI then stands in.
#include <windows.h>

#include <string>
#include <vector>

// Sent to a top-level window of a per-monitor aware program when its DPI
// changes: wParam holds the new DPI, lParam the suggested window rectangle.
#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

// The DPI of the window, else the system's.
UINT WindowDpi(HWND window);
// The system DPI: the one that windows of older Windows are drawn at.
UINT SystemDpi();
// GetSystemMetrics for that DPI.
int SystemMetricForDpi(int index, UINT dpi);
// Icon resource id of instance, made for the icon size of that DPI (big:
// SM_CXICON, else SM_CXSMICON), scaled down from a larger image where the
// resource has one. nullptr when the resource is missing; the caller
// destroys the icon.
HICON LoadIconForDpi(HINSTANCE instance, int id, bool big, UINT dpi);

// A window's title-bar and task-bar icons, made for its DPI from an icon
// resource and kept until replaced. Without the resource the window keeps its
// class's icon. Destroy the window first.
class TWindowIcons {
public:
    TWindowIcons() = default;
    ~TWindowIcons();
    TWindowIcons(const TWindowIcons&) = delete;
    TWindowIcons& operator=(const TWindowIcons&) = delete;
    void Set(HWND window, HINSTANCE instance, int id, UINT dpi);

private:
    HICON big_ = nullptr;
    HICON small_ = nullptr;
};

class TDpiLayout {
public:
    struct TFontDesign {
        int Height;  // character height in pixels at 96 dpi
        int Weight;
        std::string Face;
        BYTE Charset = DEFAULT_CHARSET;
        bool Italic = false;
    };

    explicit TDpiLayout(UINT dpi = 96) : dpi_(dpi) {}
    ~TDpiLayout();
    TDpiLayout(const TDpiLayout&) = delete;
    TDpiLayout& operator=(const TDpiLayout&) = delete;

    UINT Dpi() const { return dpi_; }
    // A 96-dpi length at this DPI.
    int Scale(int length) const;
    // The outer rectangle of a window whose client area is the 96-dpi
    // width x height at this DPI, at (0, 0) for the client's top left.
    RECT WindowRectForClient(int width, int height, DWORD style, DWORD exStyle) const;

    // A font made at this DPI and remade whenever it changes; the layout owns
    // it. Returns its number for Font.
    int AddFont(const TFontDesign& design);
    HFONT Font(int number) const;
    const TFontDesign& FontDesign(int number) const { return fonts_[static_cast<size_t>(number)].Design; }

    // Positions control at the 96-dpi rectangle, now and after every change
    // of DPI, and gives it the font numbered font (none when negative).
    // growToText: a one-line label that grows to its text where the text
    // needs more room at this DPI (glyph widths and font heights round, so
    // text does not grow exactly with the scale); set its text first.
    void Place(HWND control, int left, int top, int width, int height, int font = -1, bool growToText = false);
    // The font a control gets from now on (a step mark changes font and
    // text: set the text first).
    void SetControlFont(HWND control, int font);
    // Opens pixels of extra room at the 96-dpi line y of parent's client:
    // parent's controls that start at or below it move down, those that
    // end on or across it grow. Replaces the room opened before; 0 closes it.
    void SetExtraRoom(HWND parent, int y, int pixels);
    // Stops placing a control (before it is destroyed).
    void Forget(HWND control);

    // Remakes the fonts for dpi, gives them to the controls and places the
    // controls again. Old fonts are deleted only once no control holds them.
    void SetDpi(UINT dpi);

private:
    struct TFont {
        TFontDesign Design;
        HFONT Handle = nullptr;
    };
    struct TPlaced {
        HWND Control;
        RECT Design;
        int Font;
        bool GrowToText;
    };
    HFONT MakeFont(const TFontDesign& design) const;
    void Apply(const TPlaced& placed) const;

    UINT dpi_;
    HWND roomParent_ = nullptr;
    int roomY_ = 0;
    int roomPixels_ = 0;
    std::vector<TFont> fonts_;
    std::vector<TPlaced> placed_;
};
