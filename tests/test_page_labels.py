import pathlib

import pytest

import quillet
from pdfbuild import PdfBuilder, simple_pdf
from corpus import CORPUS, checker_labels, checker_password, checker_report



def labels(page_count, nums, extra_objects=()):
    """page_labels() of a document with `page_count` pages and the given
    /PageLabels /Nums array body."""
    pdf = simple_pdf(["q"] * page_count, catalog_extra="/PageLabels << /Nums [%s] >>" % nums,
                     extra_objects=list(extra_objects))
    return quillet.Document(pdf).page_labels()


def test_without_page_labels_pages_are_numbered_from_one():
    assert quillet.Document(simple_pdf(["a", "b", "c"])).page_labels() == ["1", "2", "3"]


def test_first_range_after_page_zero_leaves_implicit_decimal_before_it():
    assert labels(4, "2 << /S /r >>") == ["1", "2", "i", "ii"]


def test_roman_then_prefixed_decimal_with_start():
    assert labels(6, "0 << /S /r >> 4 << /S /D /P (P-) /St 10 >>") == ["i", "ii", "iii", "iv", "P-10", "P-11"]


def test_range_without_style_is_its_prefix():
    assert labels(3, "0 << /P (Cover) >> 2 << /S /D >>") == ["Cover", "Cover", "1"]


def test_empty_label_dictionary_gives_empty_labels():
    assert labels(2, "0 << >>") == ["", ""]


def test_prefix_is_a_text_string():
    assert labels(1, "0 << /S /D /P <FEFF00C500AD> >>") == ["\u00c5\u00ad1"]


def test_ranges_beyond_the_last_page_are_unused_and_count_is_kept():
    assert labels(2, "0 << /S /A >> 5 << /S /R /St 3 >> 9 << /P (x) >>") == ["A", "B"]


def test_ranges_beyond_the_last_page_are_still_checked():
    with pytest.raises(ValueError, match="^type mismatch in page label /S: expected /D, /R, /r, /A, or /a$"):
        labels(2, "0 << /S /A >> 9 << /S /x >>")


def test_later_key_of_several_before_a_page_applies():
    assert labels(3, "0 << /P (a) >> 1 << /P (b) >> 2 << /P (c) >>") == ["a", "b", "c"]


def test_label_dictionary_by_reference_and_as_stream():
    pdf = simple_pdf(["q"] * 2, catalog_extra="/PageLabels << /Nums [0 100 0 R 1 101 0 R] >>",
                     extra_objects=[(100, "<< /S /a >>"),
                                    (101, b"<< /S /R /St 4 /Length 0 >>\nstream\n\nendstream")])
    assert quillet.Document(pdf).page_labels() == ["a", "IV"]


@pytest.mark.parametrize("style, first, expected", [
    ("D", 1, "1"), ("D", 1234567, "1234567"),
    ("R", 1, "I"), ("R", 4, "IV"), ("R", 9, "IX"), ("R", 14, "XIV"), ("R", 40, "XL"), ("R", 90, "XC"),
    ("R", 400, "CD"), ("R", 1994, "MCMXCIV"), ("R", 3999, "MMMCMXCIX"), ("R", 4000, "MMMM"),
    ("r", 1994, "mcmxciv"), ("r", 4000, "mmmm"),
    ("A", 1, "A"), ("A", 26, "Z"), ("A", 27, "AA"), ("A", 28, "AB"), ("A", 52, "AZ"), ("A", 53, "BA"),
    ("A", 702, "ZZ"), ("A", 703, "AAA"), ("a", 27, "aa"), ("a", 18278, "zzz"), ("a", 18279, "aaaa"),
])
def test_numerals(style, first, expected):
    assert labels(1, "0 << /S /%s /St %d >>" % (style, first)) == [expected]


def test_letters_continue_across_pages():
    assert labels(3, "0 << /S /a /St 27 >>") == ["aa", "ab", "ac"]


def test_roman_numerals_have_no_upper_limit_of_their_own():
    assert labels(1, "0 << /S /R /St 100000 >>") == ["M" * 100]


def test_start_near_int64_max_does_not_overflow():
    # The second page's number is 2^63, past the signed range.
    assert labels(2, "0 << /S /D /St 9223372036854775807 >>") == ["9223372036854775807", "9223372036854775808"]


def test_letters_near_int64_max():
    [label] = labels(1, "0 << /S /A /St 9223372036854775807 >>")
    assert label == "CRPXNLSKVLJFHG"


@pytest.mark.parametrize("style, first", [("R", 9223372036854775807), ("r", 100001), ("R", 99999)])
def test_roman_numeral_too_long_is_refused(style, first):
    with pytest.raises(ValueError, match="^type mismatch in page label /St: expected roman numeral value of at "
                                         "most 100000$"):
        labels(3, "0 << /S /%s /St %d >>" % (style, first))


def test_declared_count_far_beyond_the_file_is_refused():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1000000000000 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R >>")
    with pytest.raises(ValueError, match="^type mismatch in page tree root /Count: expected no more pages than the "
                                         "file's 3 objects$"):
        quillet.Document(b.build()).page_labels()


def test_declared_count_is_the_label_count():
    # Two leaves, three declared: three labels.
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R /PageLabels << /Nums [0 << /S /r >>] >> >>")
    b.add(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 3 >>")
    b.add(3, "<< /Type /Page /Parent 2 0 R >>")
    b.add(4, "<< /Type /Page /Parent 2 0 R >>")
    assert quillet.Document(b.build()).page_labels() == ["i", "ii", "iii"]


@pytest.mark.parametrize("nums, context, expected", [
    ("-1 << /S /D >>", "page label index", "non-negative integer"),
    ("0 5", "page label value", "dictionary"),
    ("0 [/S /D]", "page label value", "dictionary"),
    ("0 << /S (D) >>", "page label /S", "name"),
    ("0 << /S /d >>", "page label /S", "/D, /R, /r, /A, or /a"),
    ("0 << /S /DD >>", "page label /S", "/D, /R, /r, /A, or /a"),
    ("0 << /P /Cover >>", "page label /P", "string"),
    ("0 << /St 0 >>", "page label /St", "positive integer"),
    ("0 << /St -3 >>", "page label /St", "positive integer"),
    ("0 << /St 1.0 >>", "page label /St", "positive integer"),
    ("0 << /S /D >> 7 << /St 0 >>", "page label /St", "positive integer"),
])
def test_bad_label_entries_fail_the_whole_call(nums, context, expected):
    with pytest.raises(ValueError) as raised:
        labels(2, nums)
    assert str(raised.value) == "type mismatch in %s: expected %s" % (context, expected)


def test_label_entries_are_not_dereferenced():
    with pytest.raises(ValueError, match="^type mismatch in page label /St: expected positive integer$"):
        labels(1, "0 << /S /D /St 100 0 R >>", [(100, "5")])


def test_page_count_errors_come_first():
    b = PdfBuilder()
    b.add(1, "<< /Type /Catalog /Pages 2 0 R /PageLabels 5 >>")
    b.add(2, "<< /Type /Pages /Kids [] /Count 1.0 >>")
    with pytest.raises(ValueError, match="^type mismatch in page tree root /Count: expected non-negative integer$"):
        quillet.Document(b.build()).page_labels()


# ---- corpus ----

def corpus_with_labels():
    if not (CORPUS / "oracle").is_dir():
        return []
    names = []
    for oracle in sorted((CORPUS / "oracle").iterdir()):
        data = checker_report(oracle.name) or {}
        if data.get("pagelabels"):
            names.append(oracle.name)
    return names


@pytest.mark.skipif(not CORPUS.is_dir(), reason="corpus not available")
@pytest.mark.parametrize("name", corpus_with_labels())
def test_corpus_labels_match_the_oracle(name):
    try:
        doc = quillet.Document((CORPUS / "files" / (name + ".pdf")).read_bytes(), password=checker_password(name))
        found = doc.page_labels()
    except ValueError as error:
        pytest.skip("not loadable here: %s" % error)
    assert found == checker_labels(checker_report(name)["pagelabels"], doc.page_count())
