"""Form fields: the terminal fields of /AcroForm /Fields with inherited
attributes, full names and widgets; cycles refused, hostile depth and
sharing bounded."""

from pathlib import Path

import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf
from corpus import CORPUS, unencrypted_checker_reports


def form_doc(fields: str, objects=(), acroform: str | None = None) -> quillet.Document:
    """A document whose /AcroForm /Fields is `fields` (or whose /AcroForm is
    `acroform` verbatim)."""
    form = acroform if acroform is not None else "<< /Fields %s >>" % fields
    return quillet.Document(simple_pdf(["BT ET"], catalog_extra="/AcroForm " + form, extra_objects=objects))


def fields(fields_value: str, objects=(), acroform: str | None = None) -> list[dict]:
    return form_doc(fields_value, objects, acroform).form_fields()


def test_no_acroform_or_no_fields_gives_empty_list():
    assert quillet.Document(simple_pdf(["BT ET"])).form_fields() == []
    assert fields("", acroform="<< /DA (/Helv 0 Tf) >>") == []
    assert fields("[]") == []


def test_terminal_field_record():
    [field] = fields("[100 0 R]", [(100, "<< /FT /Tx /T (name) /TU (Your name) /TM (NAME) /V (Ann) /DV (Bob)"
                                        " /Ff 4096 /Subtype /Widget /Rect [0 0 1 1] >>")])
    assert field == {
        "id": "100 0 R", "name": "name", "full_name": "name", "alternate_name": "Your name",
        "mapping_name": "NAME", "field_type": "Text", "value": "(Ann)", "default_value": "(Bob)",
        "flags": 4096, "widgets": ["100 0 R"],
    }
    assert list(field) == ["id", "name", "full_name", "alternate_name", "mapping_name", "field_type", "value",
                           "default_value", "flags", "widgets"]


def test_attributes_are_inherited_and_overridden():
    result = fields("[100 0 R]", [
        (100, "<< /T (form) /FT /Tx /V (parent) /DV /Off /Ff 2 /Kids [101 0 R 102 0 R 103 0 R] >>"),
        (101, "<< /T (total) >>"),
        (102, "<< /T (kind) /FT (Btn) /V [1 2] /Ff 1.5 >>"),  # a string /FT and a real /Ff keep the parent's
        (103, "<< /T (own) /FT /Ch /DV 50 0 R /Ff 0 >>"),
    ])
    assert [(f["full_name"], f["field_type"], f["value"], f["default_value"], f["flags"]) for f in result] == [
        ("form.total", "Text", "(parent)", "/Off", 2),
        ("form.kind", "Text", "[1 2]", "/Off", 2),
        ("form.own", "Choice", "(parent)", "50 0 R", 0),
    ]


@pytest.mark.parametrize("ft, expected", [
    ("/Btn", "Button"), ("/Tx", "Text"), ("/Ch", "Choice"), ("/Sig", "Signature"),
    ("/Foo", "Unknown([70, 111, 111])"), ("/", "Unknown([])"), ("/tx", "Unknown([116, 120])"),
    ("/#E9", "Unknown([233])"), ("(Tx)", None), ("50 0 R", None),
])
def test_field_types(ft, expected):
    [field] = fields("[<< /T (f) /FT %s >>]" % ft, [(50, "/Tx")])
    assert field["field_type"] == expected


@pytest.mark.parametrize("parent_t, child_t, expected", [
    ("(form)", "(total)", "form.total"),
    ("(form)", None, "form"),
    ("(form)", "()", "form"),
    ("(form)", "/total", "form"),  # a name is not a partial name
    ("(a.b)", "(c.d)", "a.b.c.d"),
    (None, "(total)", "total"),
    (None, None, None),
    ("<FEFF00E9>", "<FEFF00FC>", "\u00e9.\u00fc"),
])
def test_full_names(parent_t, child_t, expected):
    parent = "<< %s /Kids [101 0 R] >>" % ("/T " + parent_t if parent_t else "")
    child = "<< /FT /Tx %s >>" % ("/T " + child_t if child_t else "")
    [field] = fields("[100 0 R]", [(100, parent), (101, child)])
    assert field["full_name"] == expected


def test_root_field_without_name():
    [field] = fields("[<< /FT /Tx >>]")
    assert (field["id"], field["name"], field["full_name"]) == (None, None, None)


def test_three_levels_of_names():
    result = fields("[100 0 R]", [(100, "<< /T (a) /Kids [101 0 R] >>"), (101, "<< /Kids [102 0 R] >>"),
                                  (102, "<< /T (c) /FT /Tx >>")])
    assert [f["full_name"] for f in result] == ["a.c"]


def test_field_with_two_pure_widgets_is_one_terminal_field():
    result = fields("[100 0 R]", [
        (100, "<< /T (radio) /FT /Btn /V /B /Kids [101 0 R 102 0 R] >>"),
        (101, "<< /Type /Annot /Subtype /Widget /Rect [0 0 1 1] /AS /A >>"),
        (102, "<< /Subtype /Widget /Parent 100 0 R /AS /Off >>"),
    ])
    assert [(f["id"], f["full_name"], f["value"], f["widgets"]) for f in result] == [
        ("100 0 R", "radio", "/B", ["101 0 R", "102 0 R"])]


def test_widget_classification():
    result = fields("[100 0 R]", [
        (100, "<< /T (p) /Kids [101 0 R 102 0 R 103 0 R 104 0 R] >>"),
        (101, "<< /Type /Annot /Subtype /Widget >>"),  # a pure widget: dropped beside child fields
        (102, "<< /Type /Annot /T (annot_with_name) >>"),  # an annotation with /T is a field
        (103, "<< /Subtype /Widget /V (v) >>"),  # field keys make a widget a field
        (104, "<< /Type (Annot) >>"),  # not a widget candidate: a field without a name
    ])
    assert [(f["id"], f["full_name"], f["value"], f["widgets"]) for f in result] == [
        ("102 0 R", "p.annot_with_name", None, []),
        ("103 0 R", "p", "(v)", ["103 0 R"]),
        ("104 0 R", "p", None, []),
    ]


def test_merged_field_widget_lists_its_own_id_after_pure_widgets():
    result = fields("[100 0 R]", [
        (100, "<< /T (m) /FT /Btn /Subtype /Widget /Kids [101 0 R] >>"),
        (101, "<< /Subtype /Widget >>"),
    ])
    assert result[0]["widgets"] == ["101 0 R", "100 0 R"]


def test_merged_field_widget_given_directly_lists_no_widget():
    [field] = fields("[<< /T (m) /FT /Tx /Subtype /Widget >>]")
    assert (field["id"], field["widgets"]) == (None, [])


def test_kids_given_directly_and_by_reference():
    result = fields("50 0 R", [
        (50, "[100 0 R]"),
        (100, "<< /T (p) /Kids 51 0 R >>"),
        (51, "[<< /T (direct) /FT /Ch >> 101 0 R]"),
        (101, "<< /T (ref) >>"),
    ])
    assert [(f["id"], f["full_name"]) for f in result] == [(None, "p.direct"), ("101 0 R", "p.ref")]


def test_field_stored_as_stream_and_acroform_as_stream():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R /AcroForm 4 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [] /Count 0 >>")
    b.stream(4, b"", "/Fields [5 0 R]")
    b.stream(5, b"", "/T (s) /FT /Sig")
    assert [(f["full_name"], f["field_type"]) for f in quillet.Document(b.build()).form_fields()] == [
        ("s", "Signature")]


def test_same_field_listed_twice_is_reported_twice():
    result = fields("[100 0 R 100 0 R]", [(100, "<< /T (x) /FT /Tx >>")])
    assert [f["id"] for f in result] == ["100 0 R", "100 0 R"]


def test_field_shared_by_two_parents_is_reported_under_each():
    result = fields("[100 0 R 101 0 R]", [
        (100, "<< /T (a) /Kids [102 0 R] /V (va) >>"),
        (101, "<< /T (b) /Kids [102 0 R] >>"),
        (102, "<< /T (c) >>"),
    ])
    assert [(f["full_name"], f["value"]) for f in result] == [("a.c", "(va)"), ("b.c", None)]


def test_acroform_document_wide_entries_are_not_inherited():
    [field] = fields("", acroform="<< /Fields [<< /T (f) >>] /FT /Tx /V (x) /DA (/Helv 0 Tf 0 g) >>")
    assert (field["field_type"], field["value"]) == (None, None)


@pytest.mark.parametrize("fields_value, objects, message", [
    ("[100 0 R]", [(100, "<< /T (p) /Kids [101 0 R] >>"), (101, "<< /T (c) /Kids [100 0 R] >>")],
     "form field tree contains a cycle at object 100 0"),
    ("[100 0 R]", [(100, "<< /T (p) /Kids [100 0 R] >>")], "form field tree contains a cycle at object 100 0"),
    ("[5]", [], "type mismatch in form field: expected dictionary"),
    ("[100 0 R]", [(100, "(x)")], "type mismatch in form field: expected dictionary"),
    ("[99 0 R]", [], "dangling reference to object 99 0"),
    ("[<< /Kids 99 0 R >>]", [], "dangling reference to object 99 0"),
    ("[<< /Kids [99 0 R] >>]", [], "dangling reference to object 99 0"),
    ("[<< /Kids << >> >>]", [], "type mismatch in form field /Kids: expected array"),
    ("[<< /Kids [(x)] >>]", [], "type mismatch in form field kid: expected dictionary"),
    ("[<< /Kids [<< /Subtype /Widget >>] >>]", [], "type mismatch in form field widget: expected indirect reference"),
    # Kids are all checked before the first child field is walked.
    ("[<< /Kids [100 0 R 5] >>]", [(100, "<< /Kids [99 0 R] >>")], "type mismatch in form field kid: expected dictionary"),
    ("<< >>", [], "type mismatch in AcroForm /Fields: expected array"),
    ("99 0 R", [], "dangling reference to object 99 0"),
])
def test_field_errors(fields_value, objects, message):
    with pytest.raises(ValueError) as error:
        fields(fields_value, objects)
    assert str(error.value) == message


@pytest.mark.parametrize("acroform, message", [
    ("[1]", "type mismatch in catalog /AcroForm: expected dictionary"),
    ("99 0 R", "dangling reference to object 99 0"),
])
def test_acroform_errors(acroform, message):
    with pytest.raises(ValueError) as error:
        fields("", acroform=acroform)
    assert str(error.value) == message


def chain_form(count: int) -> quillet.Document:
    """Fields 1000 .. 1000+count-1, each the only kid of the one before."""
    objects = []
    for i in range(count):
        kids = " /Kids [%d 0 R]" % (1001 + i) if i + 1 < count else " /FT /Tx"
        objects.append((1000 + i, "<< /T (f)%s >>" % kids))
    return form_doc("[1000 0 R]", objects)


def test_deep_field_tree_is_refused_not_overflowing_the_stack():
    with pytest.raises(ValueError, match="^type mismatch in form field tree: expected at most 256 levels$"):
        chain_form(100_000).form_fields()


def test_field_tree_of_the_deepest_allowed_level_is_read():
    [field] = chain_form(256).form_fields()
    assert field["full_name"] == ".".join(["f"] * 256)
    with pytest.raises(ValueError, match="at most 256 levels"):
        chain_form(257).form_fields()


def nested_fields(objects: int) -> quillet.Document:
    """`objects` objects chained by reference, each holding 101 levels of
    fields nested directly in /Kids."""
    chain = []
    for i in range(objects):
        inner = "<< /T (x) /Kids [%d 0 R] >>" % (1001 + i) if i + 1 < objects else "<< /T (x) /FT /Tx >>"
        for _ in range(100):
            inner = "<< /Kids [%s] >>" % inner
        chain.append((1000 + i, inner))
    return form_doc("[1000 0 R]", chain)


def test_direct_kids_count_towards_the_depth():
    assert len(nested_fields(2).form_fields()) == 1
    with pytest.raises(ValueError, match="^type mismatch in form field tree: expected at most 256 levels$"):
        nested_fields(3).form_fields()


def test_exponential_sharing_is_bounded():
    # Each level's field lists the next level's field twice: 2^40 terminal
    # fields along all branches from 40 objects.
    levels = 40
    objects = [(1000 + k, "<< /T (l%d) /Kids [%d 0 R %d 0 R] >>" % (k, 1001 + k, 1001 + k)) for k in range(levels)]
    objects.append((1000 + levels, "<< /T (leaf) /FT /Tx >>"))
    doc = form_doc("[1000 0 R]", objects)
    with pytest.raises(ValueError, match="^type mismatch in form field tree: expected at most 200000 nodes$"):
        doc.form_fields()


def test_copies_of_a_large_shared_value_are_bounded():
    # A 1 MB value reached along 128 branches.
    levels = 7
    objects = [(1000 + k, "<< /Kids [%d 0 R %d 0 R] >>" % (1001 + k, 1001 + k)) for k in range(levels)]
    objects.append((1000 + levels, "<< /T (leaf) /V (" + "v" * 1_000_000 + ") >>"))
    with pytest.raises(ValueError, match="^type mismatch in form field tree: expected at most 67108864 bytes "
                                         "of names and values$"):
        form_doc("[1000 0 R]", objects).form_fields()


# ---- real files: every widget carries the external checker's full name ----



def checker_widgets() -> list[tuple[str, dict]]:
    """(file name, widget id -> full name) for every unencrypted corpus file
    whose form has fields, as the checker lists them (one entry per widget)."""
    return [(name, {f["annotation"]["object"]: f["fullname"] for f in report["acroform"]["fields"]})
            for name, report in unencrypted_checker_reports() if report.get("acroform", {}).get("fields")]


CHECKED = checker_widgets()


@pytest.mark.skipif(not CHECKED, reason="corpus not available")
@pytest.mark.parametrize("name, expected", CHECKED, ids=[name for name, _ in CHECKED])
def test_widgets_and_full_names_match_the_external_checker(name, expected):
    try:
        doc = quillet.Document((CORPUS / "files" / (name + ".pdf")).read_bytes())
    except ValueError:
        pytest.skip("not loadable")
    # The checker writes an absent full name as "".
    assert {w: f["full_name"] or "" for f in doc.form_fields() for w in f["widgets"]} == expected
