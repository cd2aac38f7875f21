#include "cli/TerminalText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <vector>

namespace vesh {

namespace {

std::string formatted(const char* format, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Columns a code point takes; unknown widths count as one.
int columnsOf(char32_t point) {
    const int width = ::wcwidth(static_cast<wchar_t>(point));
    return width < 0 ? 1 : width;
}

struct Glyph {
    std::string_view bytes;
    int columns;
};

// The text split into code points with their widths; the text is valid UTF-8.
std::vector<Glyph> glyphsOf(std::string_view text) {
    std::vector<Glyph> glyphs;
    for (std::size_t index = 0; index < text.size();) {
        const std::size_t length = std::max<std::size_t>(decodeUtf8(text, index).length, 1);
        glyphs.push_back({text.substr(index, length), columnsOf(decodeUtf8(text, index).point)});
        index += length;
    }
    return glyphs;
}

int widthOf(const std::vector<Glyph>& glyphs) {
    int width = 0;
    for (const Glyph& glyph : glyphs) width += glyph.columns;
    return width;
}

// The escaped name in exactly `columns` columns: padded, or shortened in the
// middle (the start and the extension stay visible).
std::string fitted(std::string_view name, int columns) {
    const std::string escaped = escapedForTerminal(name);
    const std::vector<Glyph> glyphs = glyphsOf(escaped);
    const int width = widthOf(glyphs);
    std::string text;
    if (width <= columns) {
        for (const Glyph& glyph : glyphs) text += glyph.bytes;
        return text + std::string(static_cast<std::size_t>(columns - width), ' ');
    }
    if (columns <= 0) return text;
    const int headColumns = columns / 2;
    const int tailColumns = columns - 1 - headColumns;
    int used = 0;
    for (const Glyph& glyph : glyphs) {
        if (used + glyph.columns > headColumns) break;
        text += glyph.bytes;
        used += glyph.columns;
    }
    std::string tail;
    int tailUsed = 0;
    for (auto glyph = glyphs.rbegin(); glyph != glyphs.rend(); ++glyph) {
        if (tailUsed + glyph->columns > tailColumns) break;
        tail.insert(0, glyph->bytes);
        tailUsed += glyph->columns;
    }
    return text + "…" + tail + std::string(static_cast<std::size_t>(columns - 1 - used - tailUsed), ' ');
}

}  // namespace

Utf8Step decodeUtf8(std::string_view bytes, std::size_t index) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
    const unsigned char lead = byte(index);
    const std::size_t length = lead < 0x80                    ? 1
                               : lead >= 0xC2 && lead <= 0xDF ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || index + length > bytes.size()) return {};
    char32_t point = length == 1 ? lead : length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = byte(index + k);
        if ((next & 0xC0) != 0x80) return {};
        point = (point << 6) | (next & 0x3Fu);
    }
    const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
    if (overlong || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return {};
    return {point, length};
}

bool isValidUtf8(std::string_view bytes) {
    for (std::size_t index = 0; index < bytes.size();) {
        const std::size_t length = decodeUtf8(bytes, index).length;
        if (length == 0) return false;
        index += length;
    }
    return true;
}

std::string escapedForTerminal(std::string_view text) {
    std::string shown;
    for (std::size_t index = 0; index < text.size();) {
        const Utf8Step step = decodeUtf8(text, index);
        if (step.length == 0) {
            shown += formatted("\\x%02x", static_cast<unsigned char>(text[index]));
            ++index;
            continue;
        }
        switch (step.point) {
        case '\n': shown += "\\n"; break;
        case '\t': shown += "\\t"; break;
        case '\r': shown += "\\r"; break;
        default:
            if (step.point < 0x20 || step.point == 0x7F) {
                shown += formatted("\\x%02x", static_cast<unsigned>(step.point));
            } else if (step.point >= 0x80 && step.point < 0xA0) {
                shown += formatted("\\u%04x", static_cast<unsigned>(step.point));
            } else {
                shown += text.substr(index, step.length);
            }
        }
        index += step.length;
    }
    return shown;
}

std::string progressLine(std::string_view name, double fraction, int columns) {
    fraction = std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0);
    const std::string percent = formatted("%3u%%", static_cast<unsigned>(fraction * 100.0));
    // The last column stays free: writing into it makes some terminals wrap.
    const int available = columns - 1;
    constexpr int shortestName = 10;
    const int barInside = std::clamp(available / 3, 10, 30);
    const int nameColumns = available - 1 - (barInside + 2) - 1 - static_cast<int>(percent.size());
    if (nameColumns >= shortestName) {
        const int filled = static_cast<int>(fraction * barInside);
        return fitted(name, nameColumns) + " [" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(barInside - filled), '-') + "] " + percent;
    }
    const int narrowName = available - 1 - static_cast<int>(percent.size());
    if (narrowName <= 0) return available >= static_cast<int>(percent.size()) ? percent : std::string();
    return fitted(name, narrowName) + " " + percent;
}

std::string durationText(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) seconds = 0.0;
    char text[32];
    if (seconds < 60.0) {
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    } else if (seconds < 3600.0) {
        const auto whole = static_cast<long>(seconds);
        std::snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
    } else {
        const auto minutes = static_cast<long>(seconds / 60.0);
        std::snprintf(text, sizeof text, "%ld h %02ld min", minutes / 60, minutes % 60);
    }
    return text;
}

}  // namespace vesh
