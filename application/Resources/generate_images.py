#!/usr/bin/env python3
"""Writes the application's images as SVG files into images/ and lists them
in images.qrc. Run it again after changing a drawing; the output is kept in
the repository so that the build needs no Python.

Usage: generate_images.py [OUTPUT_FOLDER]   (default: the folder of this script)
"""
import colorsys
import hashlib
import os
import sys

GREY = "#5b5f66"
BLUE = "#2f7de1"
DARK_BLUE = "#1b5fb8"


def svg(width, height, body, defs=""):
    defs_text = f"<defs>{defs}</defs>" if defs else ""
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}">{defs_text}{body}</svg>\n')


def vertical_gradient(name, stops):
    text = "".join(f'<stop offset="{o}" stop-color="{c}"/>' for o, c in stops)
    return f'<linearGradient id="{name}" x1="0" y1="0" x2="0" y2="1">{text}</linearGradient>'


# Page buttons of the main window: a funnel, a gear and a person, grey when
# idle and blue while their page is shown.
def funnel(colour, size=24):
    s = size / 24
    return svg(size, size,
               f'<g transform="scale({s})"><path d="M3 4h18l-7 8.5v6.5l-4 2v-8.5z" fill="{colour}"/></g>')


def gear(colour, size=24):
    s = size / 24
    teeth = "".join(
        f'<rect x="10.5" y="1.5" width="3" height="5" rx="0.8" fill="{colour}" transform="rotate({a} 12 12)"/>'
        for a in range(0, 360, 45))
    return svg(size, size,
               f'<g transform="scale({s})">{teeth}<circle cx="12" cy="12" r="7.2" fill="{colour}"/>'
               f'<circle cx="12" cy="12" r="3" fill="#ffffff"/></g>')


def person(colour, size=24):
    s = size / 24
    return svg(size, size,
               f'<g transform="scale({s})"><circle cx="12" cy="7.5" r="4.5" fill="{colour}"/>'
               f'<path d="M3.5 21.5c0-5 3.8-8 8.5-8s8.5 3 8.5 8z" fill="{colour}"/></g>')


def status_glyph():
    # Drawn in black: the tray may tint it like a template image.
    return svg(18, 18,
               '<rect x="1.5" y="4" width="15" height="10.5" rx="1.5" fill="none" stroke="#000" stroke-width="1.4"/>'
               '<path d="M2 4.8l7 5.2 7-5.2" fill="none" stroke="#000" stroke-width="1.4"/>')


def undertable(top, bottom):
    return svg(4, 23, '<rect width="4" height="23" fill="url(#g)"/>',
               vertical_gradient("g", [(0, top), (1, bottom)]))


def undertable_separator():
    return svg(1, 23, '<rect width="1" height="23" fill="#b5b5b5"/>')


def plus_glyph():
    return svg(9, 9, f'<path d="M3.75 0h1.5v3.75h3.75v1.5h-3.75v3.75h-1.5v-3.75h-3.75v-1.5h3.75z" fill="{GREY}"/>')


def minus_glyph():
    return svg(9, 9, f'<rect y="3.75" width="9" height="1.5" fill="{GREY}"/>')


def icon_filter():
    return svg(48, 48,
               '<circle cx="24" cy="24" r="22" fill="url(#g)"/>'
               '<path d="M12 14h24l-9 11v9l-6 3v-12z" fill="#ffffff"/>',
               vertical_gradient("g", [(0, "#5aa2f0"), (1, DARK_BLUE)]))


def icon_logging():
    lines = "".join(f'<rect x="16" y="{y}" width="16" height="2" rx="1" fill="#8d96a3"/>'
                    for y in (17, 22, 27, 32))
    return svg(48, 48,
               '<path d="M10 4h21l9 9v31h-30z" fill="#ffffff" stroke="#8d96a3" stroke-width="2"/>'
               '<path d="M31 4v9h9" fill="#e6e9ee" stroke="#8d96a3" stroke-width="2" stroke-linejoin="round"/>'
               + lines)


def user_image():
    return svg(64, 64,
               '<circle cx="32" cy="32" r="31" fill="url(#g)"/>'
               '<circle cx="32" cy="25" r="11" fill="#ffffff"/>'
               '<path d="M12 52c3-10 11-15 20-15s17 5 20 15a30 30 0 0 1-40 0z" fill="#ffffff"/>',
               vertical_gradient("g", [(0, "#9fb3c8"), (1, "#5f7590")]))


def application_icon():
    return svg(128, 128,
               '<rect x="6" y="6" width="116" height="116" rx="26" fill="url(#g)"/>'
               '<rect x="26" y="38" width="76" height="54" rx="6" fill="#ffffff"/>'
               f'<path d="M28 42l36 27 36-27" fill="none" stroke="{DARK_BLUE}" stroke-width="6" stroke-linejoin="round"/>'
               '<circle cx="96" cy="88" r="18" fill="#e2453c" stroke="#ffffff" stroke-width="5"/>'
               '<rect x="86" y="85" width="20" height="6" rx="2" fill="#ffffff"/>',
               vertical_gradient("g", [(0, "#5aa2f0"), (1, DARK_BLUE)]))


# Blue buttons: rounded, drawn for nine-part stretching; the corners and
# edges fit the edge sizes that the button cells cut them with.
def blue_button(width, height, radius, top, bottom, border, alpha=1.0):
    return svg(width, height,
               f'<g opacity="{alpha}">'
               f'<rect x="0.5" y="0.5" width="{width - 1}" height="{height - 2}" rx="{radius}" fill="{border}"/>'
               f'<rect x="1" y="1" width="{width - 2}" height="{height - 3}" rx="{radius - 0.5}" fill="url(#g)"/>'
               f'<rect x="2" y="{height - 1.5}" width="{width - 4}" height="1" fill="#000000" opacity="0.08"/></g>',
               vertical_gradient("g", [(0, top), (1, bottom)]))


BLUE_NORMAL = ("#4e9af0", "#2470d6", "#1a5bb5", 1.0)
BLUE_PRESSED = ("#2f78cf", "#1a58ad", "#124a96", 1.0)
BLUE_DISABLED = ("#4e9af0", "#2470d6", "#1a5bb5", 0.45)


def language_badge(code):
    # One uniform badge per language: its code on a colour of its own.
    hue = int(hashlib.md5(code.encode()).hexdigest()[:4], 16) / 0xFFFF
    r, g, b = colorsys.hls_to_rgb(hue, 0.38, 0.55)
    colour = f"#{int(r * 255):02x}{int(g * 255):02x}{int(b * 255):02x}"
    size = 8 if len(code) < 3 else 7
    return svg(24, 16,
               f'<rect x="0.5" y="0.5" width="23" height="15" rx="2.5" fill="{colour}" stroke="#000000" stroke-opacity="0.25"/>'
               f'<text x="12" y="11.2" font-family="DejaVu Sans" font-weight="bold" font-size="{size}" '
               f'fill="#ffffff" text-anchor="middle">{code.upper()}</text>')


# The languages of the default list. Regional codes (pt-BR, es-ES, zh-CN,
# zh-TW) show their language's badge through the two-letter fallback.
LANGUAGES = ["am", "ar", "bo", "cs", "da", "de", "el", "en", "es", "fi", "fr", "he", "hu", "hy", "it", "ja",
             "ko", "mn", "nl", "no", "pl", "pt", "ru", "sv", "syr", "th", "tr", "vi", "zh"]


def images():
    yield "Filters", funnel(GREY)
    yield "FiltersActive", funnel(BLUE)
    yield "Settings", gear(GREY)
    yield "SettingsActive", gear(BLUE)
    yield "Account", person(GREY)
    yield "AccountActive", person(BLUE)
    yield "statusbar_active", status_glyph()
    yield "Undertable", undertable("#fbfbfb", "#e9e9e9")
    yield "Undertable_Pressed", undertable("#dcdcdc", "#cbcbcb")
    yield "Undertable_Separator", undertable_separator()
    yield "Undertable_Plus", plus_glyph()
    yield "Undertable_Minus", minus_glyph()
    yield "Icon_Filter", icon_filter()
    yield "Icon_Logging", icon_logging()
    yield "UserImage", user_image()
    yield "Quorvane", application_icon()
    for suffix, colours in (("", BLUE_NORMAL), ("Pressed", BLUE_PRESSED), ("Disabled", BLUE_DISABLED)):
        yield "BlueButton" + suffix, blue_button(12, 28, 4, *colours)
        yield "BlueLargeButton" + suffix, blue_button(28, 40, 8, *colours)
    for code in LANGUAGES:
        yield code, language_badge(code)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(os.path.join(out, "images"), exist_ok=True)
    names = []
    for name, text in images():
        with open(os.path.join(out, "images", name + ".svg"), "w", encoding="utf-8") as f:
            f.write(text)
        names.append(name)
    entries = "".join(f'    <file>images/{n}.svg</file>\n' for n in sorted(names))
    with open(os.path.join(out, "images.qrc"), "w", encoding="utf-8") as f:
        f.write('<!DOCTYPE RCC>\n<!-- Written by generate_images.py. -->\n<RCC version="1.0">\n'
                f'<qresource prefix="/">\n{entries}</qresource>\n</RCC>\n')


if __name__ == "__main__":
    main()
