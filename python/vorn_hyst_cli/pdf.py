"""PDF files: page images that the decision greys are stored as grey, and
nothing else of the file changes."""

from __future__ import annotations

import dataclasses
import io
import time
import zlib

import numpy as np

from .decision import FIXED, GREY, LEFT, decide
from .fileio import ImageError, same_file, write_atomic
from .report import Row

EXTENSIONS = {".pdf"}
PIKEPDF_MISSING = ("PDF files need pikepdf; install it with "
                   "python -m pip install 'vorn_hyst[cli]'")
# The compressions whose RGB samples are rewritten: Flate stays lossless, and a
# JPEG source may be re-encoded as a (grey) JPEG. Every other filter is left as it is.
FILTERS = {"/FlateDecode": "Flate", "/DCTDecode": "JPEG"}
DEFAULT_DECODE = [0, 1, 0, 1, 0, 1]


class LeftAlone(Exception):
    """An image that is kept as it is; the message is the reason in the report."""


@dataclasses.dataclass
class Outcome:
    """What became of one image, kept for the pages that show it again."""
    verdict: str
    reason: str
    page: int
    before: int
    after: int


def process_pdf(job, policy, params):
    """Decides every page image of one PDF and writes the result; returns its rows."""
    pikepdf = import_pikepdf()
    policy.check_destination(job.dest)
    # Read whole, so the input cannot change between the decision and the write,
    # and so nothing holds the input open when --in-place renames over it.
    data = job.source.read_bytes()
    with open_pdf(pikepdf, data) as pdf:
        check_changes_allowed(pdf)
        rows, changed = rewrite_images(pdf, job, policy, params)
        check_warnings(pdf)  # damage met in the page tree after the last image
        t0 = time.perf_counter()
        if policy.dry_run:
            pass
        elif changed:
            write_atomic(job.dest, lambda f: save(pdf, f), job.source, policy.replaces)
        elif not same_file(job.source, job.dest):
            write_atomic(job.dest, lambda f: f.write(data), job.source, policy.replaces)
        share = (time.perf_counter() - t0) / len(rows)
    for row in rows:
        row.seconds += share
    return rows


def import_pikepdf():
    try:
        import pikepdf
    except ImportError:
        raise ImageError(PIKEPDF_MISSING) from None
    return pikepdf


def one_line(error):
    return " ".join(str(error).split())


def open_pdf(pikepdf, data):
    # No recovery: a file qpdf would have to reconstruct is damaged, and writing
    # the reconstruction would change it. Inherited page attributes stay where
    # they are, in the page tree.
    try:
        pdf = pikepdf.open(io.BytesIO(data), attempt_recovery=False,
                           inherit_page_attributes=False)
    except pikepdf.PasswordError:
        raise ImageError("encrypted PDF that needs a password, left as it is") from None
    except pikepdf.PdfError as e:
        raise ImageError(f"damaged PDF, left as it is: {one_line(e)}") from None
    check_warnings(pdf)
    return pdf


def check_warnings(pdf):
    """Refuses a file in which qpdf found damage (it warns where it repairs)."""
    warnings = pdf.get_warnings()
    if warnings:
        pdf.close()
        raise ImageError(f"damaged PDF, left as it is: {one_line(warnings[0])}")


def check_changes_allowed(pdf):
    form = pdf.Root.get("/AcroForm")
    if form is not None and int(form.get("/SigFlags", 0)) & 1:
        raise ImageError("digitally signed PDF, left as it is: "
                         "any change would break the signature")
    if pdf.is_encrypted and not pdf.allow.modify_other:
        raise ImageError("encrypted PDF whose permissions forbid changes, left as it is")


def save(pdf, f):
    import pikepdf
    # Streams are copied as they are stored: without compress_streams (and no
    # decode level asked for) qpdf neither decodes nor compresses any of them.
    # Object streams, the encryption and the linearisation are kept. The file
    # identifier is derived from the content, so that the same input gives the
    # same bytes on every run and on every worker (a retried cluster task checks
    # its output against a re-run); qpdf cannot do that for an encrypted file,
    # whose salts are random anyway.
    pdf.save(f, linearize=pdf.is_linearized, encryption=pdf.is_encrypted,
             deterministic_id=not pdf.is_encrypted,
             fix_metadata_version=False, compress_streams=False,
             object_stream_mode=pikepdf.ObjectStreamMode.preserve)
    check_warnings(pdf)


def rewrite_images(pdf, job, policy, params):
    """Decides each image once and rewrites it in `pdf`; returns (rows, whether any changed)."""
    rows, outcomes = [], {}
    for page, name, image in page_images(pdf):
        t0 = time.perf_counter()
        width, height = (image.get(key) for key in ("/Width", "/Height"))
        row = Row(str(job.source), page, width if isinstance(width, int) else 0,
                  height if isinstance(height, int) else 0, output=str(job.dest), image=name)
        key = image.objgen
        if key in outcomes:
            seen = outcomes[key]
            row.verdict, row.reason = seen.verdict, f"same image as on page {seen.page}"
        else:
            outcomes[key] = outcome = decide_image(pdf, image, page, policy, params)
            row.verdict, row.reason = outcome.verdict, outcome.reason
            row.bytes_before, row.bytes_after = outcome.before, outcome.after
        row.seconds = time.perf_counter() - t0
        rows.append(row)
    if not rows:
        rows.append(Row(str(job.source), verdict=LEFT, output=str(job.dest),
                        reason="no page images"))
    changed = any(o.before != o.after for o in outcomes.values())
    return rows, changed


def page_images(pdf):
    """(page number from 1, name, image) for each image a page draws, directly or
    through Form XObjects, once per page."""
    for number, page in enumerate(pdf.pages, 1):
        seen = set()
        for name, image in xobject_images(page_resources(page.obj), "", seen):
            yield number, name, image


def page_resources(page):
    node, depth = page, 0
    while node is not None and depth < 64:  # inherited through the page tree
        if "/Resources" in node:
            return node.Resources
        node, depth = node.get("/Parent"), depth + 1
    return None


def xobject_images(resources, prefix, seen):
    import pikepdf
    if not isinstance(resources, pikepdf.Dictionary):
        return
    xobjects = resources.get("/XObject")
    if not isinstance(xobjects, pikepdf.Dictionary):
        return
    for name, xobject in xobjects.items():
        if not isinstance(xobject, pikepdf.Stream) or xobject.objgen in seen:
            continue
        seen.add(xobject.objgen)  # also ends Form XObjects that draw themselves
        subtype = xobject.get("/Subtype")
        if subtype == pikepdf.Name.Image:
            yield prefix + name, xobject
        elif subtype == pikepdf.Name.Form and "/Resources" in xobject:
            yield from xobject_images(xobject.Resources, prefix + name, seen)


def decide_image(pdf, image, page, policy, params):
    before = len(image.read_raw_bytes())
    check_warnings(pdf)  # damage found while reading the page tree
    try:
        kind = rewritable_kind(image)
        rgb = decode_rgb(image, kind, policy.max_pixels)
        problems = pdf.get_warnings()
        if problems:
            raise LeftAlone(f"damaged image data: {one_line(problems[0])}")
    except LeftAlone as e:
        pdf.get_warnings()  # damage of this image only, which stays as it is
        return Outcome(LEFT, str(e), page, before, before)
    decision = decide(rgb, params)
    verdict, reason = decision.verdict, decision.reason
    pixels = new_pixels(decision, rgb, kind, policy.keep_rgb)
    if pixels is None:
        if verdict == GREY and kind == "JPEG":
            reason = reason or "already grey; a JPEG is not re-encoded only to drop channels"
        return Outcome(verdict, reason, page, before, before)
    data = encode(pixels, kind, policy.quality)
    if len(data) >= before and (kind == "JPEG" or verdict == GREY):
        what = "new JPEG" if kind == "JPEG" else "grey image"
        return Outcome(LEFT if verdict == FIXED else verdict,
                       f"the {what} ({len(data)} bytes) would not be smaller than the original",
                       page, before, before)
    store(image, data, kind, grey=pixels.ndim == 2)
    return Outcome(verdict, reason, page, before, len(data))


def new_pixels(decision, rgb, kind, keep_rgb):
    """The samples to store, (H, W) grey or (H, W, 3), or None to keep the image."""
    if decision.verdict == FIXED:
        return decision.result if keep_rgb else np.ascontiguousarray(decision.result[..., 0])
    if decision.verdict == GREY and kind == "Flate" and not keep_rgb:
        return np.ascontiguousarray(rgb[..., 0])  # grey stored as RGB: the same pixels, a third
    return None


def rewritable_kind(image):
    """'Flate' or 'JPEG' for an 8-bit RGB image whose samples may be rewritten;
    raises LeftAlone with the reason otherwise."""
    import pikepdf
    if image.get("/ImageMask", False):
        raise LeftAlone("stencil mask")
    if "/F" in image:
        raise LeftAlone("image data in an external file")
    filters = filter_names(image)
    if len(filters) != 1 or filters[0] not in FILTERS:
        raise LeftAlone(f"{'+'.join(f[1:] for f in filters) or 'uncompressed'} image data"
                        " (only Flate and JPEG are rewritten)")
    bits = image.get("/BitsPerComponent")
    if bits != 8:
        raise LeftAlone(f"{bits}-bit channels")
    space = rgb_space_problem(image.get("/ColorSpace"))
    if space:
        raise LeftAlone(space)
    decode = image.get("/Decode")
    if decode is not None and [float(v) for v in decode] != DEFAULT_DECODE:
        raise LeftAlone("non-default /Decode")
    mask = image.get("/Mask")
    if mask is not None and not isinstance(mask, pikepdf.Stream):  # a stencil stream stays valid
        raise LeftAlone("colour-key /Mask")
    smask = image.get("/SMask")
    if isinstance(smask, pikepdf.Stream) and "/Matte" in smask:
        # The matte colour has one value per channel of this image's colour space.
        raise LeftAlone("soft mask with /Matte (colours premultiplied)")
    if filters[0] == "/DCTDecode" and image.get("/DecodeParms") is not None:
        raise LeftAlone("JPEG with /DecodeParms")
    return FILTERS[filters[0]]


def filter_names(image):
    import pikepdf
    value = image.get("/Filter")
    if value is None:
        return []
    return [str(v) for v in value] if isinstance(value, pikepdf.Array) else [str(value)]


def rgb_space_problem(space):
    """'' for DeviceRGB or an RGB ICC profile, the reason to leave the image otherwise."""
    import pikepdf
    if space == pikepdf.Name.DeviceRGB:
        return ""
    if space == pikepdf.Name.DeviceGray:
        return "already DeviceGray"
    if isinstance(space, pikepdf.Name):
        return f"{str(space)[1:]} colour space"
    if isinstance(space, pikepdf.Array) and len(space) > 0:
        family = str(space[0])[1:]
        if family == "ICCBased" and len(space) > 1 and isinstance(space[1], pikepdf.Stream):
            components = space[1].get("/N")
            if components != 3:
                return f"ICCBased colour space of {components} components"
            header = space[1].read_bytes()[:20]
            if header[16:20] != b"RGB ":
                return "ICCBased colour space not of RGB"
            return ""
        return f"{family} colour space"
    return "no usable colour space"


def decode_rgb(image, kind, max_pixels):
    """The image's samples as an (H, W, 3) uint8 array."""
    width, height = image.get("/Width"), image.get("/Height")
    if not (isinstance(width, int) and isinstance(height, int) and width > 0 and height > 0):
        raise LeftAlone("no usable /Width and /Height")
    if width * height > max_pixels:
        raise LeftAlone(f"{width * height} pixels, more than the limit of {max_pixels} "
                        "(--max-pixels raises it)")
    import pikepdf
    from PIL import Image
    try:
        if kind == "JPEG":
            return decode_jpeg(image.read_raw_bytes(), width, height)
        size = width * height * 3
        # Bounded inflation first: a small stream may claim gigabytes.
        samples = inflate_at_most(image.read_raw_bytes(), size + height + 1024)
        if image.get("/DecodeParms") is not None:  # predictors: qpdf undoes them
            samples = image.read_bytes()
    except (pikepdf.PdfError, OSError, zlib.error, ValueError, Image.DecompressionBombError) as e:
        raise LeftAlone(f"damaged image data: {one_line(e)}") from None
    if len(samples) < size:
        raise LeftAlone("less image data than /Width and /Height ask for")
    return np.frombuffer(samples, np.uint8, size).reshape(height, width, 3)


def inflate_at_most(raw, limit):
    inflater = zlib.decompressobj()
    out = inflater.decompress(raw, limit + 1)
    if len(out) > limit:
        raise LeftAlone("more image data than /Width and /Height ask for")
    if not inflater.eof:
        raise LeftAlone("damaged image data: the Flate data ends early")
    return out


def decode_jpeg(raw, width, height):
    from PIL import Image
    with Image.open(io.BytesIO(raw)) as im:
        if im.format != "JPEG" or im.mode != "RGB":
            raise LeftAlone(f"JPEG data of mode {im.mode} in an RGB image")
        if im.size != (width, height):
            raise LeftAlone("JPEG data of another size than /Width and /Height")
        im.load()
        return np.asarray(im)


def encode(pixels, kind, quality):
    if kind == "Flate":
        return zlib.compress(pixels.tobytes())
    from PIL import Image
    out = io.BytesIO()
    Image.fromarray(pixels).save(out, format="JPEG", quality=quality, optimize=True)
    return out.getvalue()


def store(image, data, kind, grey):
    """Replaces the image's samples; every other key of its dictionary stays."""
    import pikepdf
    image.write(data, filter=pikepdf.Name("/FlateDecode" if kind == "Flate" else "/DCTDecode"))
    # The old data's parameters and length do not describe the new data.
    for key in ("/DecodeParms", "/DL"):
        if key in image:
            del image[key]
    if grey:
        # An RGB profile would make the grey image invalid; the default /Decode
        # has one pair per channel.
        image.ColorSpace = pikepdf.Name.DeviceGray
        if "/Decode" in image:
            del image["/Decode"]
