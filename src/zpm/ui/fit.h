// Whether a dialog fits on the screen.  yad lays a --text label out wrapped
// at a narrow width of its own (a dozen or so characters, whatever --width
// says), so a few long lines make a window taller than any screen, with its
// buttons below the bottom edge.  zpm does not ask the X server: it estimates
// the window's height from the text and compares it with the smallest screen
// the desktop is made for.
#ifndef ZPM_UI_FIT_H
#define ZPM_UI_FIT_H

namespace zpm::ui {

// How yad lays out the label of one kind of dialog: characters per wrapped
// line, the height of a line and what the window adds around the label, in
// pixels.  Measured with yad 0.40 under the default GTK theme at 96 dpi.
struct LabelLayout {
    int chars_per_line;
    int line_px;
    int frame_px;
};

// The question (an image beside the text, --width=600).
inline constexpr LabelLayout kQuestionLabel{16, 17, 44};
// The message (--width=400 --height=200).
inline constexpr LabelLayout kMessageLabel{11, 17, 70};

// The smallest screen (1024 x 768) less what its title bar and panels take.
inline constexpr int kUsableScreenPx = 768 - 128;
// The form: pixels per read-only field and around them.
inline constexpr int kFormFieldPx = 39;
inline constexpr int kFormFramePx = 61;

// The estimated height of the window of a label that shows text.
int label_window_px(const char *text, const LabelLayout &layout);
// Whether that window fits on the usable screen.
bool label_fits(const char *text, const LabelLayout &layout);
// Whether a form of that many fields fits without scrolling.
bool form_fits(int fields);

} // namespace zpm::ui

#endif
