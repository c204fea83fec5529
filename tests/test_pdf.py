"""PDF files through the vorn-hyst command line, on documents generated here."""

import io
import json
import shutil
import subprocess
import zlib

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")
pikepdf = pytest.importorskip("pikepdf")
img2pdf = pytest.importorskip("img2pdf")

import vorn_hyst  # noqa: E402
from test_cli import CODECS, coding, colour, run, scan, three_tones  # noqa: E402
from vorn_hyst_cli.batch import Job, process  # noqa: E402
from vorn_hyst_cli.decision import COLOUR, FAILED, FIXED, GREY, LEFT  # noqa: E402
from vorn_hyst_cli.policy import OutputPolicy  # noqa: E402

DeviceGray, DeviceRGB = pikepdf.Name.DeviceGray, pikepdf.Name.DeviceRGB
Flate, DCT = pikepdf.Name.FlateDecode, pikepdf.Name.DCTDecode
RNG = np.random.default_rng(14)
# Keys a grey rewrite may change; every other key of an image must stay.
SAMPLE_KEYS = {"/ColorSpace", "/Filter", "/DecodeParms", "/Decode", "/Length", "/DL"}


def encoded(pixels, fmt, **kw):
    im = Image.fromarray(pixels) if isinstance(pixels, np.ndarray) else pixels
    out = io.BytesIO()
    im.save(out, format=fmt, **kw)
    return out.getvalue()


def srgb_profile():
    from PIL import ImageCms
    return ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()


def with_alpha():
    im = Image.fromarray(scan())
    im.putalpha(Image.fromarray(RNG.integers(0, 256, (36, 44), dtype=np.uint8)))
    return im


def mid_tones():
    """A page whose fixed grey keeps many mid-tones: a grey JPEG of it at
    quality 100 is larger than the low-quality original."""
    a = scan(72, 88).astype(np.int16)
    a[50:70] = RNG.integers(60, 190, (20, 88, 1)) * np.array([1.0, 0.95, 0.8])
    return a.astype(np.uint8)


# The scanned document, one page each: (page image, verdict, stored colour space,
# filter, pixels a grey page must render as (None: not compared)).
DOCUMENT = [
    (encoded(scan(), "PNG"), FIXED, DeviceGray, Flate, vorn_hyst.monochrome(scan())[..., 0]),
    (encoded(scan(), "JPEG", quality=95, subsampling=0), FIXED, DeviceGray, DCT, None),
    (encoded(colour(), "PNG"), COLOUR, DeviceRGB, Flate, None),
    (encoded(colour(), "JPEG"), COLOUR, DeviceRGB, DCT, None),
    (encoded(three_tones(), "PNG"), GREY, DeviceGray, Flate, three_tones()[..., 0]),
    (encoded(three_tones(), "JPEG", quality=100, subsampling=0), GREY, DeviceRGB, DCT, None),
    (encoded(scan(), "PNG", icc_profile=srgb_profile()), FIXED, DeviceGray, Flate,  # no predictor
     vorn_hyst.monochrome(scan())[..., 0]),
    (encoded(with_alpha(), "PNG"), FIXED, DeviceGray, Flate, None),
]
SHARED_PAGE = len(DOCUMENT) + 1  # draws page 1's image through a Form XObject


def one_image(page):
    return next(iter(page.Resources.XObject.values()))


def image_pdf(images):
    return pikepdf.open(io.BytesIO(img2pdf.convert(
        images, layout_fun=img2pdf.get_fixed_dpi_layout_fun((72, 72)))))


def without_predictor(image, pixels):
    image.write(zlib.compress(pixels.tobytes()), filter=Flate)  # drops /DecodeParms
    assert "/DecodeParms" not in image


def scanned_document(path, **save):
    """The document above with an OCR-like text layer, an outline, XMP and
    /Info metadata, and a last page showing page 1's image again."""
    pdf = image_pdf([image for image, *_ in DOCUMENT])
    without_predictor(one_image(pdf.pages[6]), scan())
    first = pdf.pages[0]
    first.Resources.Font = pikepdf.Dictionary(F1=pikepdf.Dictionary(
        Type=pikepdf.Name.Font, Subtype=pikepdf.Name.Type1, BaseFont=pikepdf.Name.Helvetica))
    first.contents_add(pikepdf.Stream(pdf, b"BT 3 Tr /F1 8 Tf 4 20 Td (invoice 1234) Tj ET"))
    form = pikepdf.Stream(pdf, b"q 44 0 0 36 0 0 cm /Im0 Do Q", Type=pikepdf.Name.XObject,
                          Subtype=pikepdf.Name.Form, BBox=[0, 0, 44, 36],
                          Resources=pikepdf.Dictionary(XObject=pikepdf.Dictionary(
                              Im0=one_image(first))))
    pdf.add_blank_page(page_size=(44, 36))
    last = pdf.pages[-1]
    last.Resources = pikepdf.Dictionary(XObject=pikepdf.Dictionary(Fm0=form))
    last.Contents = pdf.make_stream(b"/Fm0 Do")
    with pdf.open_outline() as outline:
        outline.root.extend([pikepdf.OutlineItem("Invoice", 0), pikepdf.OutlineItem("Photo", 2)])
    with pdf.open_metadata(set_pikepdf_as_editor=False) as xmp:
        xmp["dc:title"] = "Scanned letters"
    pdf.docinfo["/Title"] = "Scanned letters"
    pdf.save(path, **save)
    return path


def unusual_document(path):
    """One page per kind of image that is left as it is; returns the reasons' words."""
    kinds = {
        "1-bit": encoded(Image.fromarray(scan()[..., 0] > 100), "PNG"),
        "DeviceCMYK": encoded(Image.fromarray(scan()).convert("CMYK"), "JPEG"),
        "Indexed": encoded(Image.fromarray(scan()).convert("P"), "PNG"),
        "16-bit": encoded(Image.fromarray(np.full((4, 4), 999, np.uint16)), "PNG"),
        "already DeviceGray": encoded(scan()[..., 1], "PNG"),
        "/Decode": encoded(scan(), "PNG"),
        "colour-key": encoded(scan(), "PNG"),
        "/Matte": encoded(with_alpha(), "PNG"),
        "damaged image data": encoded(scan(), "PNG"),
        "more image data": encoded(scan(), "PNG"),
        "not be smaller": encoded(mid_tones(), "JPEG", quality=20),
        "malformed /Decode": encoded(scan(), "PNG"),
        "/DecodeParms that do not match": encoded(scan(), "PNG"),  # a bomb's claim
    }
    pdf = image_pdf(list(kinds.values()))
    images = [one_image(page) for page in pdf.pages]
    images[5].Decode = [1, 0, 1, 0, 1, 0]
    images[6].Mask = [0, 60, 0, 60, 0, 60]
    images[7].SMask.Matte = [1, 1, 1]
    images[8].write(images[8].read_raw_bytes()[:40], filter=Flate,
                    decode_parms=images[8].DecodeParms)
    without_predictor(images[9], np.zeros((100, 36, 44, 3), np.uint8))  # a small bomb
    images[11].Decode = [0, 1, "/x", 1, 0, 1]
    images[12].DecodeParms.Columns = 1_000_000_000
    pdf.save(path)
    return list(kinds)


def images(path):
    """Page number -> (image dictionary without its length, stored bytes)."""
    with pikepdf.open(path) as pdf:
        out = {}
        for number, page in enumerate(pdf.pages, 1):
            if "/Im0" in page.Resources.get("/XObject", {}):
                image = page.Resources.XObject.Im0
                out[number] = ({k: repr(v) for k, v in image.items() if k != "/Length"},
                               image.read_raw_bytes())
        return out


def same_objects(a, b, rewritten, memo):
    """Whether a and b are the same PDF object graph, following references:
    dictionaries key by key, streams by their stored data. In the images of
    `rewritten` (objgen in a), only the keys outside SAMPLE_KEYS are compared."""
    if isinstance(a, pikepdf.Object) and a.is_indirect:
        if (a.objgen, b.objgen) in memo:
            return True
        memo.add((a.objgen, b.objgen))
    if isinstance(a, (pikepdf.Dictionary, pikepdf.Stream)):
        new_samples = a.is_indirect and a.objgen in rewritten
        skip = SAMPLE_KEYS if new_samples else {"/Length"}
        if set(a.keys()) - skip != set(b.keys()) - skip:
            return False
        if isinstance(a, pikepdf.Stream) and not new_samples and \
                a.read_raw_bytes() != b.read_raw_bytes():
            return False
        return all(same_objects(a[k], b[k], rewritten, memo) for k in a.keys() if k not in skip)
    if isinstance(a, pikepdf.Array):
        return len(a) == len(b) and all(same_objects(x, y, rewritten, memo) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def render(path):
    """Every page as RGB arrays of one pixel per image sample (the pages are as
    large in points as their images in pixels)."""
    if not shutil.which("pdftoppm"):
        pytest.skip("pdftoppm (poppler-utils) is not installed")
    prefix = path.parent / f"{path.stem}-render"
    # Poppler smooths images drawn at less than four times their size, and
    # samples them exactly from there on.
    subprocess.run(["pdftoppm", "-r", "288", str(path), str(prefix)], check=True)
    files = sorted(path.parent.glob(f"{prefix.name}-*.ppm"),
                   key=lambda p: int(p.stem.split("-")[-1]))
    return [np.asarray(Image.open(f).convert("RGB"))[::4, ::4] for f in files]


@pytest.fixture(scope="module", params=CODECS)
def converted(tmp_path_factory, request):
    base = tmp_path_factory.mktemp("pdf")
    source = scanned_document(base / "letters.pdf")
    with coding(request.param):
        status = run(source, "-o", base / "out", "--report", base / "report.json")
    rows = json.loads((base / "report.json").read_text())
    return source, base / "out" / "letters.pdf", status, rows


def test_scanned_document(converted):
    source, result, status, rows = converted
    assert status == 0
    expected = [verdict for _, verdict, *_ in DOCUMENT] + [FIXED]
    assert [(r["page"], r["image"], r["verdict"]) for r in rows] == [
        (n, "/Fm0/Im0" if n == SHARED_PAGE else "/Im0", v) for n, v in enumerate(expected, 1)]
    assert "page 1" in rows[-1]["reason"] and rows[-1]["bytes_before"] == 0
    before, after = images(source), images(result)
    for number, (_, _verdict, space, filters, _) in enumerate(DOCUMENT, 1):
        (old, old_raw), (new, new_raw) = before[number], after[number]
        assert (new["/ColorSpace"], new["/Filter"]) == (repr(space), repr(filters)), number
        if space == DeviceRGB:  # left alone: the very same stream
            assert (new, new_raw) == (old, old_raw), number
        else:
            assert {k: v for k, v in new.items() if k not in SAMPLE_KEYS} == \
                   {k: v for k, v in old.items() if k not in SAMPLE_KEYS}, number
            assert len(new_raw) == rows[number - 1]["bytes_after"] < len(old_raw), number
    assert result.stat().st_size < source.stat().st_size
    with pikepdf.open(source) as a, pikepdf.open(result) as b:
        rewritten = {one_image(p).objgen for p, (_, _, space, *_) in zip(a.pages, DOCUMENT)
                     if space == DeviceGray}
        # Text layer, outline, metadata, page tree: all of it the same.
        assert same_objects(a.Root, b.Root, rewritten, set())
        assert same_objects(a.trailer.Info, b.trailer.Info, rewritten, set())
        assert a.open_metadata()["dc:title"] == b.open_metadata()["dc:title"] == "Scanned letters"


def test_pages_render(converted):
    source, result, *_ = converted
    before, after = render(source), render(result)
    assert len(after) == len(before) == SHARED_PAGE
    assert np.array_equal(after[-1], after[0])
    for number, (_, _, space, _, grey) in enumerate(DOCUMENT, 1):
        if space == DeviceRGB:
            assert np.array_equal(after[number - 1], before[number - 1]), number
        if grey is not None:
            assert np.array_equal(after[number - 1], np.repeat(grey[..., None], 3, 2)), number


def test_what_is_left_alone(tmp_path):
    source = tmp_path / "odd.pdf"
    reasons = unusual_document(source)
    status = run(source, "-o", tmp_path / "out", "--quality", "100",
                 "--report", tmp_path / "r.json")
    rows = json.loads((tmp_path / "r.json").read_text())
    assert status == 0
    assert [(r["verdict"], r["bytes_after"] == r["bytes_before"]) for r in rows] == \
           [(LEFT, True)] * len(reasons)
    for row, words in zip(rows, reasons):
        assert words in row["reason"], row
    assert (tmp_path / "out" / "odd.pdf").read_bytes() == source.read_bytes()


def sign(path, flags=3, value=False):
    """A signature: /SigFlags, and with `value` a signature field that holds one."""
    scanned_document(path)
    with pikepdf.open(path, allow_overwriting_input=True) as pdf:
        fields = []
        if value:
            signature = pdf.make_indirect(pikepdf.Dictionary(
                Type=pikepdf.Name.Sig, ByteRange=[0, 10, 20, 30], Contents=pikepdf.String("0")))
            fields.append(pdf.make_indirect(pikepdf.Dictionary(FT=pikepdf.Name.Sig, V=signature,
                                                                T=pikepdf.String("Signature1"))))
        pdf.Root.AcroForm = pikepdf.Dictionary(Fields=fields)
        if flags is not None:
            pdf.Root.AcroForm.SigFlags = flags
        pdf.save()


# Files reported and never written: name -> (writer, words of the message).
REFUSED = {
    "password.pdf": (lambda p: scanned_document(p, encryption=pikepdf.Encryption(
        owner="o", user="u")), "needs a password"),
    "truncated.pdf": (lambda p: p.write_bytes(scanned_document(p).read_bytes()[:3000]), "damaged"),
    "not-a-pdf.pdf": (lambda p: p.write_bytes(b"%PDF-1.4 hello"), "damaged"),
    "no-changes.pdf": (lambda p: scanned_document(p, encryption=pikepdf.Encryption(
        owner="o", user="", allow=pikepdf.Permissions(modify_other=False))), "forbid changes"),
    "signed.pdf": (sign, "signed"),
    "signed-without-flags.pdf": (lambda p: sign(p, flags=None, value=True), "signed"),
    "malformed-flags.pdf": (lambda p: sign(p, flags=pikepdf.Name.Odd), "possibly signed"),
}


@pytest.mark.parametrize("name", REFUSED)
def test_refused_files(tmp_path, capsys, name):
    write, words = REFUSED[name]
    write(tmp_path / name)
    original = (tmp_path / name).read_bytes()
    assert run(tmp_path / name, "--in-place") == 1
    message = capsys.readouterr().err.strip()
    assert name in message and words in message and "\n" not in message
    assert "BytesIO" not in message
    assert (tmp_path / name).read_bytes() == original
    assert [p.name for p in tmp_path.iterdir()] == [name]


@pytest.mark.parametrize("save", [
    {"encryption": pikepdf.Encryption(owner="owner", user="", R=6)},
    {"encryption": pikepdf.Encryption(owner="owner", user="", R=4, aes=False, metadata=False)},
    {"linearize": True},
    {"object_stream_mode": pikepdf.ObjectStreamMode.generate},
])
def test_file_level_properties_kept(tmp_path, save):
    source = scanned_document(tmp_path / "in.pdf", **save)
    assert run(source, "-o", tmp_path / "out") == 0
    with pikepdf.open(source) as a, pikepdf.open(tmp_path / "out" / "in.pdf") as b:
        assert one_image(b.pages[0]).ColorSpace == DeviceGray
        assert b.is_linearized == a.is_linearized
        assert b.is_encrypted == a.is_encrypted
        if a.is_encrypted:  # (qpdf writes RC4 of revision 4 as AES of revision 4)
            assert (b.encryption.R, b.encryption.V, b.encryption.P) == \
                   (a.encryption.R, a.encryption.V, a.encryption.P)
    written = (tmp_path / "out" / "in.pdf").read_bytes()
    assert (b"/ObjStm" in written) == (b"/ObjStm" in source.read_bytes())
    if "encryption" in save:
        with pikepdf.open(tmp_path / "out" / "in.pdf", password="owner") as b:
            assert b.owner_password_matched


@pytest.mark.parametrize("policy, written", [
    ({"in_place": True}, "replaced"),
    ({"in_place": True, "keep_rgb": True}, "replaced"),
    ({"in_place": True, "dry_run": True}, "untouched"),
    ({"outdir": "out", "skip_existing": True}, "untouched"),
    ({"outdir": "out", "overwrite": True}, "replaced"),
    ({"outdir": ".", "overwrite": True}, "untouched"),  # the input itself, refused
])
def test_output_policy(tmp_path, policy, written):
    source = scanned_document(tmp_path / "in.pdf")
    if policy.get("outdir") not in (None, "."):
        policy["outdir"] = tmp_path / policy["outdir"]
        dest = policy["outdir"] / "in.pdf"
        dest.parent.mkdir()
        dest.write_bytes(b"earlier result")
    else:
        policy["outdir"] = tmp_path if policy.get("outdir") else None
        dest = source
    before = dest.read_bytes()
    rows = process(Job(source, dest), OutputPolicy(**policy), {})
    itself = policy["outdir"] == tmp_path
    assert all((r.verdict == FAILED) == itself for r in rows)
    assert not itself or "is the input itself" in rows[0].error
    assert (dest.read_bytes() == before) == (written == "untouched")
    assert sorted(p.name for p in dest.parent.iterdir() if p.name.startswith(".")) == []
    if written == "replaced":
        with pikepdf.open(dest) as pdf:
            image = one_image(pdf.pages[0])
            assert image.ColorSpace == (DeviceRGB if policy.get("keep_rgb") else DeviceGray)
            samples = np.frombuffer(image.read_bytes(), np.uint8)
            assert np.array_equal(samples, vorn_hyst.monochrome(scan())[
                ..., slice(None) if policy.get("keep_rgb") else 0].ravel())


def test_folders_and_jobs(tmp_path):
    (tmp_path / "in" / "sub").mkdir(parents=True)
    scanned_document(tmp_path / "in" / "a.pdf")
    shutil.copy(tmp_path / "in" / "a.pdf", tmp_path / "in" / "sub" / "B.PDF")
    assert run(tmp_path / "in", "-r", "-j", "2", "-o", tmp_path / "out") == 0
    for name in ("a.pdf", "sub/B.PDF"):
        with pikepdf.open(tmp_path / "out" / name) as pdf:
            assert one_image(pdf.pages[0]).ColorSpace == DeviceGray


def test_deeply_nested_forms(tmp_path):
    """Form XObjects drawing each other 5,000 deep: walked without recursion,
    the images beyond any real nesting depth are not looked at."""
    pdf = image_pdf([encoded(scan(), "PNG")])
    page = pdf.pages[0]
    inner = pikepdf.Dictionary(XObject=pikepdf.Dictionary(Im0=one_image(page)))
    for _ in range(5000):
        form = pdf.make_stream(b"/X Do", Type=pikepdf.Name.XObject, Subtype=pikepdf.Name.Form,
                               BBox=[0, 0, 1, 1], Resources=inner)
        inner = pikepdf.Dictionary(XObject=pikepdf.Dictionary(X=form))
    page.Resources = inner
    pdf.save(tmp_path / "deep.pdf")
    assert run(tmp_path / "deep.pdf", "-o", tmp_path / "out", "--report", tmp_path / "r.json") == 0
    [row] = json.loads((tmp_path / "r.json").read_text())
    assert row["reason"] == "no page images"
