"""PDF files: page images that the decision greys are stored as grey, and
nothing else of the file changes.

Every stream the tool decodes goes through one bounded reader: an image's
samples may be no more than its /Width and /Height declare, and of a colour
profile only the header is read. A small file cannot make the run take
gigabytes, whatever its streams claim.
"""

from __future__ import annotations

import dataclasses
import io
import re
import struct
import time
import zlib

import numpy as np

from . import codec, deps
from .decision import decide
from .fileio import open_regular, same_file, write_atomic
from .imaging import open_image
from .outcome import FileError, Verdict
from .report import Row
from .review import thumbnails

# The compressions whose RGB samples are rewritten: Flate stays lossless, and a
# JPEG source may be re-encoded as a (grey) JPEG. Every other filter is left as it is.
FILTERS = {"/FlateDecode": "Flate", "/DCTDecode": "JPEG"}
DEFAULT_DECODE = [0, 1, 0, 1, 0, 1]
# Form XObjects drawing Form XObjects: deeper than any real file nests them.
MAX_FORM_DEPTH = 64


class LeftAlone(Exception):
    """An image that is kept as it is; the message is the reason in the report."""


@dataclasses.dataclass
class Outcome:
    """What became of one image, kept for the pages that show it again."""
    verdict: Verdict
    reason: str
    page: int
    before: int
    after: int
    details: dict = dataclasses.field(default_factory=dict)


def process_pdf(job, policy, params):
    """Decides every page image of one PDF and writes the result; returns its rows."""
    pikepdf = deps.pikepdf()
    policy.check_destination(job.dest, job.source)
    # Read whole, so the input cannot change between the decision and the write,
    # and so nothing holds the input open when --in-place renames over it.
    with open_regular(job.source) as (f, identity):
        data = f.read()
    with open_pdf(pikepdf, data, job.source) as pdf:
        check_changes_allowed(pdf)
        rows, changed = rewrite_images(pdf, job, policy, params)
        check_warnings(pdf)  # damage met in the page tree after the last image
        t0 = time.perf_counter()
        expect = identity if policy.in_place else None
        backup = policy.backup_of(job)
        if policy.dry_run:
            pass
        elif changed:
            write_atomic(job.dest, lambda f: save(pdf, f), like=job.source,
                         replace=policy.replaces, expect=expect, backup=backup)
        elif not same_file(job.source, job.dest):
            write_atomic(job.dest, lambda f: f.write(data), like=job.source,
                         replace=policy.replaces, keep_times=True)
        share = (time.perf_counter() - t0) / len(rows)
    for row in rows:
        row.seconds += share
    return rows


def one_line(error):
    """A library's message in one line, without the in-memory stream it names
    in place of the file."""
    text = re.sub(r"(stream |file )?<_io\.BytesIO object at 0x[0-9a-fA-F]+>:?\s*", "",
                  str(error))
    return " ".join(text.split()) or type(error).__name__


def open_pdf(pikepdf, data, path):
    # No recovery: a file qpdf would have to reconstruct is damaged, and writing
    # the reconstruction would change it. Inherited page attributes stay where
    # they are, in the page tree.
    try:
        pdf = pikepdf.open(io.BytesIO(data), attempt_recovery=False,
                           inherit_page_attributes=False)
    except pikepdf.PasswordError:
        raise FileError("encrypted PDF that needs a password, left as it is") from None
    except (pikepdf.PdfError, RuntimeError, ValueError) as e:
        raise FileError(f"damaged PDF, left as it is: {one_line(e)}") from None
    check_warnings(pdf)
    return pdf


def check_warnings(pdf):
    """Refuses a file in which qpdf found damage (it warns where it repairs)."""
    warnings = pdf.get_warnings()
    if warnings:
        pdf.close()
        raise FileError(f"damaged PDF, left as it is: {one_line(warnings[0])}")


SIGNED = "digitally signed PDF, left as it is: any change would break the signature"


def check_changes_allowed(pdf):
    form = pdf.Root.get("/AcroForm")
    if form is not None:
        flags = form.get("/SigFlags", 0)
        try:
            signed = int(flags) & 1
        except (TypeError, ValueError):
            raise FileError("PDF with a malformed /SigFlags, possibly signed, left as it is: "
                            "a change could break a signature") from None
        if signed or has_signature(pdf, form):
            raise FileError(SIGNED)
    elif has_signature(pdf, None):
        raise FileError(SIGNED)
    if "/Perms" in pdf.Root:  # certification or usage-rights signatures
        raise FileError(SIGNED)
    if pdf.is_encrypted and not pdf.allow.modify_other:
        raise FileError("encrypted PDF whose permissions forbid changes, left as it is")


def has_signature(pdf, form):
    """Whether a signature field holds a signature value (/ByteRange and
    /Contents), whatever /SigFlags says: in the form's field tree or among
    the pages' widgets. Walked without recursion, each object once."""
    pikepdf = deps.pikepdf()
    stack = []
    if form is not None and isinstance(form.get("/Fields"), pikepdf.Array):
        stack.extend(form.Fields)
    for page in pdf.pages:
        annots = page.obj.get("/Annots")
        if isinstance(annots, pikepdf.Array):
            stack.extend(annots)
    seen = set()
    while stack:
        field = stack.pop()
        if not isinstance(field, pikepdf.Dictionary):
            continue
        if field.is_indirect:
            if field.objgen in seen:
                continue
            seen.add(field.objgen)
        value = field.get("/V")
        if isinstance(value, pikepdf.Dictionary) and "/ByteRange" in value \
                and "/Contents" in value:
            return True
        kids = field.get("/Kids")
        if isinstance(kids, pikepdf.Array):
            stack.extend(kids)
    return False


def save(pdf, f):
    pikepdf = deps.pikepdf()
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
        row = Row(str(job.source), page, width if isinstance(width, int) else None,
                  height if isinstance(height, int) else None, output=str(job.dest), image=name)
        key = image.objgen
        if key in outcomes:
            seen = outcomes[key]
            row.verdict, row.reason = seen.verdict, f"same image as on page {seen.page}"
            row.bytes_before = row.bytes_after = 0  # counted on that page
        else:
            outcomes[key] = outcome = decide_image(pdf, image, page, policy, params)
            row.verdict, row.reason = outcome.verdict, outcome.reason
            row.bytes_before, row.bytes_after = outcome.before, outcome.after
            for field, value in outcome.details.items():
                setattr(row, field, value)
        row.seconds = time.perf_counter() - t0
        rows.append(row)
    if not rows:
        rows.append(Row(str(job.source), verdict=Verdict.LEFT, output=str(job.dest),
                        reason="no page images"))
    changed = any(o.before != o.after for o in outcomes.values())
    return rows, changed


def page_images(pdf):
    """(page number from 1, name, image) for each image a page draws, directly or
    through Form XObjects, once per page."""
    for number, page in enumerate(pdf.pages, 1):
        for name, image in xobject_images(page_resources(page.obj)):
            yield number, name, image


def page_resources(page):
    node, depth = page, 0
    while node is not None and depth < 64:  # inherited through the page tree
        if "/Resources" in node:
            return node.Resources
        node, depth = node.get("/Parent"), depth + 1
    return None


def xobject_images(resources):
    """The images of a resource dictionary and of the Form XObjects it draws,
    depth first in drawing order, each object once; walked with a stack of
    its own, so that deep nesting costs no recursion."""
    pikepdf = deps.pikepdf()
    seen = set()
    stack = [(resources, "", 0)]
    while stack:
        resources, prefix, depth = stack.pop()
        if not isinstance(resources, pikepdf.Dictionary):
            continue
        xobjects = resources.get("/XObject")
        if not isinstance(xobjects, pikepdf.Dictionary):
            continue
        forms = []
        for name, xobject in xobjects.items():
            if not isinstance(xobject, pikepdf.Stream) or xobject.objgen in seen:
                continue
            seen.add(xobject.objgen)  # also ends Form XObjects that draw themselves
            subtype = xobject.get("/Subtype")
            if subtype == pikepdf.Name.Image:
                yield prefix + name, xobject
            elif subtype == pikepdf.Name.Form and "/Resources" in xobject \
                    and depth < MAX_FORM_DEPTH:
                forms.append((xobject.Resources, prefix + name, depth + 1))
        stack.extend(reversed(forms))


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
        return Outcome(Verdict.LEFT, str(e), page, before, before)
    decision = decide(rgb, params)
    if policy.review:
        decision.details["thumbs"] = thumbnails(rgb, decision)
    verdict, reason = decision.verdict, decision.reason
    pixels = new_pixels(decision, rgb, kind, policy.keep_rgb)
    del rgb
    if pixels is None:
        if verdict == Verdict.GREY and kind == "JPEG":
            reason = reason or "already grey; a JPEG is not re-encoded only to drop channels"
        return Outcome(verdict, reason, page, before, before, decision.details)
    data = encode(pixels, kind, policy.quality)
    if len(data) >= before and (kind == "JPEG" or verdict == Verdict.GREY):
        what = "new JPEG" if kind == "JPEG" else "grey image"
        return Outcome(Verdict.LEFT if verdict == Verdict.FIXED else verdict,
                       f"the {what} ({len(data)} bytes) would not be smaller than the original",
                       page, before, before, decision.details)
    store(image, data, kind, grey=pixels.ndim == 2)
    return Outcome(verdict, reason, page, before, len(data), decision.details)


def new_pixels(decision, rgb, kind, keep_rgb):
    """The samples to store, (H, W) grey or (H, W, 3), or None to keep the image."""
    if decision.verdict == Verdict.FIXED:
        return decision.result if keep_rgb else np.ascontiguousarray(decision.result[..., 0])
    if decision.verdict == Verdict.GREY and kind == "Flate" and not keep_rgb:
        return np.ascontiguousarray(rgb[..., 0])  # grey stored as RGB: the same pixels, a third
    return None


def rewritable_kind(image):
    """'Flate' or 'JPEG' for an 8-bit RGB image whose samples may be rewritten;
    raises LeftAlone with the reason otherwise."""
    pikepdf = deps.pikepdf()
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
    check_decode(image.get("/Decode"))
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


def check_decode(decode):
    if decode is None:
        return
    try:
        values = [float(v) for v in decode]
    except (TypeError, ValueError):
        raise LeftAlone("malformed /Decode") from None
    if values != DEFAULT_DECODE:
        raise LeftAlone("non-default /Decode")


def filter_names(image):
    pikepdf = deps.pikepdf()
    value = image.get("/Filter")
    if value is None:
        return []
    return [str(v) for v in value] if isinstance(value, pikepdf.Array) else [str(value)]


def rgb_space_problem(space):
    """'' for DeviceRGB or an RGB ICC profile, the reason to leave the image otherwise."""
    pikepdf = deps.pikepdf()
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
            try:
                header = stream_prefix(space[1], 128)
            except LeftAlone as e:
                return f"ICCBased colour space that cannot be read ({e})"
            if header[16:20] != b"RGB ":
                return "ICCBased colour space not of RGB"
            return ""
        return f"{family} colour space"
    return "no usable colour space"


# ---- the bounded reader ---------------------------------------------------------------

def stream_prefix(stream, length):
    """The first `length` decoded bytes of a stream (uncompressed or Flate),
    decoding no more than that."""
    filters = filter_names(stream)
    raw = stream.read_raw_bytes()
    if not filters:
        return raw[:length]
    if filters != ["/FlateDecode"] or stream.get("/DecodeParms") is not None:
        raise LeftAlone(f"{'+'.join(f[1:] for f in filters)} data")
    try:
        return zlib.decompressobj().decompress(raw, length)
    except zlib.error as e:
        raise LeftAlone(f"damaged data: {e}") from None


def inflate_at_most(raw, limit):
    """The Flate data inflated, refused as soon as it exceeds `limit` bytes."""
    inflater = zlib.decompressobj()
    out = inflater.decompress(raw, limit + 1)
    if len(out) > limit:
        raise LeftAlone("more image data than /Width and /Height ask for")
    if not inflater.eof:
        raise LeftAlone("damaged image data: the Flate data ends early")
    return out


def predictor_of(image, width):
    """The PNG or TIFF predictor of a Flate image, checked against the image:
    1 (none), 2 (TIFF) or 10 to 15 (PNG)."""
    pikepdf = deps.pikepdf()
    parms = image.get("/DecodeParms")
    if parms is None:
        return 1
    if isinstance(parms, pikepdf.Array):
        if len(parms) != 1:
            raise LeftAlone("more than one /DecodeParms")
        parms = parms[0]
    if not isinstance(parms, pikepdf.Dictionary):
        return 1
    try:
        predictor = int(parms.get("/Predictor", 1))
        colours = int(parms.get("/Colors", 1))
        bits = int(parms.get("/BitsPerComponent", 8))
        columns = int(parms.get("/Columns", 1))
    except (TypeError, ValueError):
        raise LeftAlone("malformed /DecodeParms") from None
    if predictor == 1:
        return 1
    if predictor not in (2, 10, 11, 12, 13, 14, 15):
        raise LeftAlone(f"unknown /Predictor {predictor}")
    if (colours, bits, columns) != (3, 8, width):
        raise LeftAlone("/DecodeParms that do not match the image (/Colors, "
                        "/BitsPerComponent, /Columns)")
    return predictor


def decode_rgb(image, kind, max_pixels):
    """The image's samples as an (H, W, 3) uint8 array, never decoding more
    than /Width and /Height declare."""
    pikepdf = deps.pikepdf()
    width, height = image.get("/Width"), image.get("/Height")
    if not (isinstance(width, int) and isinstance(height, int) and width > 0 and height > 0):
        raise LeftAlone("no usable /Width and /Height")
    if width * height > max_pixels:
        raise LeftAlone(f"{width * height} pixels, more than the limit of {max_pixels} "
                        "(--max-pixels raises it)")
    try:
        raw = image.read_raw_bytes()
        if kind == "JPEG":
            return decode_jpeg(raw, width, height)
        predictor = predictor_of(image, width)
        size = width * height * 3
        if predictor >= 10:
            return unpredict_png(raw, width, height)
        samples = inflate_at_most(raw, size)
    except (pikepdf.PdfError, OSError, zlib.error, ValueError, EOFError, SyntaxError) as e:
        raise LeftAlone(f"damaged image data: {one_line(e)}") from None
    if len(samples) < size:
        raise LeftAlone("less image data than /Width and /Height ask for")
    rgb = np.frombuffer(samples, np.uint8, size).reshape(height, width, 3)
    if predictor == 2:  # each sample the difference to the one on its left
        rgb = np.cumsum(rgb, axis=1, dtype=np.uint8)
    return rgb


def unpredict_png(raw, width, height):
    """Flate data with PNG predictors is a PNG image's data: decoded as one,
    by a decoder that stops where the declared size ends."""
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    png = (codec.PNG_SIGNATURE + codec.png_chunk(b"IHDR", header)
           + codec.png_chunk(b"IDAT", raw) + codec.png_chunk(b"IEND", b""))
    with open_image(io.BytesIO(png)) as im:
        return codec.pixels(im, png)


def decode_jpeg(raw, width, height):
    with open_image(io.BytesIO(raw)) as im:
        if im.format != "JPEG" or im.mode != "RGB":
            raise LeftAlone(f"JPEG data of mode {im.mode} in an RGB image")
        if im.size != (width, height):
            raise LeftAlone("JPEG data of another size than /Width and /Height")
        return codec.pixels(im, raw)


def encode(pixels, kind, quality):
    if kind == "Flate":
        return codec.flate(np.ascontiguousarray(pixels))
    return codec.pdf_jpeg(pixels, quality)


def store(image, data, kind, grey):
    """Replaces the image's samples; every other key of its dictionary stays."""
    pikepdf = deps.pikepdf()
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

