#include "viewer/PictureFit.h"

#include <algorithm>
#include <cstdint>

namespace {
// round(a * b / c) for positive values, in 64 bits so that no size overflows.
int scaledRounded(std::int64_t a, std::int64_t b, std::int64_t c)
{
    return static_cast<int>((2 * a * b + c) / (2 * c));
}
}  // namespace

PictureFit fitPicture(QSize picture, QSize screen)
{
    PictureFit fit;
    if (picture.isEmpty() || screen.isEmpty())
        return fit;

    const std::int64_t pw = picture.width(), ph = picture.height();
    const std::int64_t sw = screen.width(), sh = screen.height();
    QSize shown = picture;
    if (pw > sw || ph > sh) {
        fit.scaled = true;
        // Compare sw / pw with sh / ph without dividing.
        if (sw * ph <= sh * pw)
            shown = QSize(static_cast<int>(sw), std::clamp(scaledRounded(ph, sw, pw), 1, screen.height()));
        else
            shown = QSize(std::clamp(scaledRounded(pw, sh, ph), 1, screen.width()), static_cast<int>(sh));
    }
    fit.rect = QRect(QPoint((screen.width() - shown.width()) / 2, (screen.height() - shown.height()) / 2),
                     shown);
    return fit;
}
