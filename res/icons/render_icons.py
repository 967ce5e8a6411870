#!/usr/bin/env python3
"""Renders tesmaro.svg to the 16, 32, 48, 64, 128 and 256 pixel PNGs beside it.

Uses the system's SVG and 2D graphics libraries (Debian: librsvg2-2, libcairo2)
through ctypes, so nothing beyond Python's standard library is needed. Run it
after changing the SVG and commit the PNGs with it.
"""
import ctypes
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


class Rect(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double),
                ("width", ctypes.c_double), ("height", ctypes.c_double)]


def main():
    rsvg = ctypes.CDLL("librsvg-2.so.2")
    cairo = ctypes.CDLL("libcairo.so.2")
    rsvg.rsvg_handle_new_from_file.restype = ctypes.c_void_p
    rsvg.rsvg_handle_new_from_file.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
    rsvg.rsvg_handle_render_document.argtypes = [ctypes.c_void_p, ctypes.c_void_p,
                                                 ctypes.POINTER(Rect), ctypes.c_void_p]
    cairo.cairo_image_surface_create.restype = ctypes.c_void_p
    cairo.cairo_create.restype = ctypes.c_void_p
    cairo.cairo_create.argtypes = [ctypes.c_void_p]
    cairo.cairo_surface_write_to_png.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    cairo.cairo_destroy.argtypes = [ctypes.c_void_p]
    cairo.cairo_surface_destroy.argtypes = [ctypes.c_void_p]

    svg = os.path.join(HERE, "tesmaro.svg").encode()
    handle = rsvg.rsvg_handle_new_from_file(svg, None)
    if not handle:
        sys.exit("cannot read tesmaro.svg")
    for size in (16, 32, 48, 64, 128, 256):
        surface = cairo.cairo_image_surface_create(0, size, size)  # ARGB32
        context = cairo.cairo_create(surface)
        if not rsvg.rsvg_handle_render_document(handle, context,
                                                ctypes.byref(Rect(0, 0, size, size)), None):
            sys.exit("cannot render tesmaro.svg")
        out = os.path.join(HERE, "tesmaro-%d.png" % size).encode()
        cairo.cairo_surface_write_to_png(surface, out)
        cairo.cairo_destroy(context)
        cairo.cairo_surface_destroy(surface)


if __name__ == "__main__":
    main()
