#include "fit.h"

#include <cstddef>

namespace zpm::ui {

int label_window_px(const char *text, const LabelLayout &layout) {
    long lines = 0;
    long run = 0; // characters of the current line
    auto close_line = [&] {
        lines += run == 0 ? 1 : (run + layout.chars_per_line - 1) / layout.chars_per_line;
        run = 0;
    };
    for (const char *c = text ? text : ""; *c; c++) {
        if (*c == '\n')
            close_line();
        else
            run++;
    }
    if (run > 0)
        close_line(); // a trailing line end adds no line of its own
    long px = layout.frame_px + lines * layout.line_px;
    return px > 1000000 ? 1000000 : static_cast<int>(px);
}

bool label_fits(const char *text, const LabelLayout &layout) {
    return label_window_px(text, layout) <= kUsableScreenPx;
}

bool form_fits(int fields) {
    return kFormFramePx + static_cast<long>(fields) * kFormFieldPx <= kUsableScreenPx;
}

} // namespace zpm::ui
