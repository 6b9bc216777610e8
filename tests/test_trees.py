"""Name and number trees, walked through the features that read them: the
embedded-files name tree and the page-labels number tree."""

import pytest

import quillet
from pdfbuild import simple_pdf

PAGES = 4
FILE_STREAM = (90, b"<< /Length 2 >>\nstream\nhi\nendstream")


class NameTree:
    """Name tree under /Names /EmbeddedFiles; key i is the string (k<i>), a
    value is a file specification whose /Desc carries its tag."""

    word = "name"
    pairs = "Names"
    root_context = "catalog /Names /EmbeddedFiles"
    key_expected = "string"

    @staticmethod
    def key(i):
        return "(k%d)" % i

    @staticmethod
    def value(tag):
        return "<< /EF << /F 90 0 R >> /Desc (%s) >>" % tag

    @staticmethod
    def doc(root, objects=()):
        return quillet.Document(simple_pdf(
            ["q"] * PAGES, catalog_extra="/Names << /EmbeddedFiles %s >>" % root,
            extra_objects=[FILE_STREAM, *objects]))

    @staticmethod
    def read(doc):
        return {int(f["name"][1:]): f["description"] for f in doc.embedded_files()}


class NumberTree:
    """Number tree under /PageLabels over four pages; key i is page i, a value
    is a label dictionary whose prefix is its tag (no style: the label is the
    prefix alone)."""

    word = "number"
    pairs = "Nums"
    root_context = "catalog /PageLabels"
    key_expected = "integer"

    @staticmethod
    def key(i):
        return "%d" % i

    @staticmethod
    def value(tag):
        return "<< /P (%s) >>" % tag

    @staticmethod
    def doc(root, objects=()):
        return quillet.Document(simple_pdf(["q"] * PAGES, catalog_extra="/PageLabels %s" % root,
                                           extra_objects=list(objects)))

    @staticmethod
    def read(doc):
        # Pages before the first key carry decimal labels; a key's tag starts
        # at its page and runs until the next key.
        labels = doc.page_labels()
        return {j: label for j, label in enumerate(labels)
                if not label.isdigit() and (j == 0 or label != labels[j - 1])}


@pytest.fixture(params=[NameTree, NumberTree], ids=["name", "number"])
def tree(request):
    return request.param


def pairs(tree, *items):
    """A key/value array entry: pairs(tree, (0, "a"), (2, "b"))."""
    return "/%s [%s]" % (tree.pairs, " ".join("%s %s" % (tree.key(i), tree.value(tag)) for i, tag in items))


def test_direct_root_with_pairs(tree):
    doc = tree.doc("<< %s >>" % pairs(tree, (2, "b"), (0, "a")))
    assert tree.read(doc) == {0: "a", 2: "b"}


def test_kids_walked_after_own_pairs_and_later_pair_wins(tree):
    root = "<< %s /Kids [101 0 R 102 0 R] >>" % pairs(tree, (0, "root"), (3, "root3"))
    objects = [(101, "<< %s >>" % pairs(tree, (0, "kid"), (1, "one"))),
               (102, "<< %s >>" % pairs(tree, (1, "two")))]
    assert tree.read(tree.doc(root, objects)) == {0: "kid", 1: "two", 3: "root3"}


def test_equal_keys_in_one_array_keep_the_later(tree):
    assert tree.read(tree.doc("<< %s >>" % pairs(tree, (1, "first"), (1, "second")))) == {1: "second"}


def test_root_by_reference_kids_nested_directly_and_limits_ignored(tree):
    objects = [(100, "<< /Kids [<< /Limits [%s %s] /Kids [<< %s >>] >>] >>"
                % (tree.key(0), tree.key(0), pairs(tree, (2, "x"), (3, "y"))))]
    assert tree.read(tree.doc("100 0 R", objects)) == {2: "x", 3: "y"}


def test_pairs_and_kids_arrays_by_reference(tree):
    objects = [(100, "<< /%s 101 0 R /Kids 102 0 R >>" % tree.pairs),
               (101, "[%s %s]" % (tree.key(0), tree.value("a"))),
               (102, "[<< %s >>]" % pairs(tree, (1, "b")))]
    assert tree.read(tree.doc("100 0 R", objects)) == {0: "a", 1: "b"}


def test_value_by_reference_is_resolved(tree):
    root = "<< /%s [%s 101 0 R] >>" % (tree.pairs, tree.key(1))
    assert tree.read(tree.doc(root, [(101, tree.value("ref"))])) == {1: "ref"}


def test_empty_node_contributes_nothing(tree):
    assert tree.read(tree.doc("<< /Kids [<< >>] >>")) == {}


def test_shared_leaf_is_not_a_cycle(tree):
    objects = [(100, "<< /Kids [101 0 R 102 0 R] >>"), (101, "<< /Kids [103 0 R] >>"),
               (102, "<< /Kids [103 0 R] >>"), (103, "<< %s >>" % pairs(tree, (1, "leaf")))]
    assert tree.read(tree.doc("100 0 R", objects)) == {1: "leaf"}


def test_same_kid_twice_in_one_array(tree):
    objects = [(100, "<< /Kids [101 0 R 101 0 R] >>"), (101, "<< %s >>" % pairs(tree, (2, "twice")))]
    assert tree.read(tree.doc("100 0 R", objects)) == {2: "twice"}


@pytest.mark.parametrize("objects, closing", [
    ([(100, "<< /Kids [100 0 R] >>")], "100 0"),
    ([(100, "<< /Kids [101 0 R] >>"), (101, "<< /Kids [<< /Kids [100 0 R] >>] >>")], "100 0"),
    ([(100, "<< /Kids [101 0 R] >>"), (101, "<< /Kids [102 0 R] >>"), (102, "<< /Kids [101 0 R] >>")], "101 0"),
], ids=["self", "through-direct-kid", "below-root"])
def test_cycle_names_the_closing_object(tree, objects, closing):
    with pytest.raises(ValueError, match="^%s tree contains a cycle at object %s$" % (tree.word, closing)):
        tree.read(tree.doc("100 0 R", objects))


@pytest.mark.parametrize("root, objects, message", [
    ("5", [], "type mismatch in {root}: expected dictionary"),
    ("100 0 R", [(100, "[1 2]")], "type mismatch in {root}: expected dictionary"),
    ("<< /Kids [5] >>", [], "type mismatch in {word} tree kid: expected dictionary"),
    ("<< /Kids [101 0 R] >>", [(101, "(text)")], "type mismatch in {word} tree kid: expected dictionary"),
    ("<< /Kids 5 >>", [], "type mismatch in {word} tree /Kids: expected array"),
    ("<< /Kids [<< /Kids 101 0 R >>] >>", [(101, "<< >>")], "type mismatch in {word} tree /Kids: expected array"),
    ("<< /{pairs} 7 >>", [], "type mismatch in {word} tree /{pairs}: expected array"),
    ("<< /{pairs} [{key0} {value}] /Kids [<< /{pairs} [{key0}] >>] >>", [],
     "type mismatch in {word} tree /{pairs}: expected even-length key/value array"),
    ("<< /{pairs} [{key0} {value} {key0}] >>", [],
     "type mismatch in {word} tree /{pairs}: expected even-length key/value array"),
    ("<< /{pairs} [[1] {value}] >>", [], "type mismatch in {word} tree key: expected {key_expected}"),
    ("<< /Kids [150 0 R] >>", [], "dangling reference to object 150 0"),
    ("<< /{pairs} 150 0 R >>", [], "dangling reference to object 150 0"),
    ("<< /{pairs} [{key0} 150 0 R] >>", [], "dangling reference to object 150 0"),
    ("150 0 R", [], "dangling reference to object 150 0"),
], ids=["root-integer", "root-array", "kid-integer", "kid-string", "kids-integer", "kids-ref-dict",
        "pairs-integer", "odd-in-kid", "odd", "key-array", "dangling-kid", "dangling-pairs",
        "dangling-value", "dangling-root"])
def test_malformed_trees_fail(tree, root, objects, message):
    fields = dict(root=tree.root_context, word=tree.word, pairs=tree.pairs, key0=tree.key(0),
                  value=tree.value("v"), key_expected=tree.key_expected)
    with pytest.raises(ValueError) as raised:
        tree.read(tree.doc(root.format(**fields), objects))
    assert str(raised.value) == message.format(**fields)


def chain(depth, tree):
    """Objects 100 .. 100+depth, each the only kid of the one before, the last
    holding one pair."""
    objects = [(100 + i, "<< /Kids [%d 0 R] >>" % (101 + i)) for i in range(depth)]
    objects.append((100 + depth, "<< %s >>" % pairs(tree, (1, "deep"))))
    return objects


def test_deep_chain_within_bound_succeeds(tree):
    assert tree.read(tree.doc("100 0 R", chain(256, tree))) == {1: "deep"}


def test_hundred_thousand_levels_fail_without_exhausting_the_stack(tree):
    with pytest.raises(ValueError, match="^type mismatch in %s tree: expected at most 256 levels$" % tree.word):
        tree.read(tree.doc("100 0 R", chain(100_000, tree)))


def test_shared_nodes_fanning_out_do_not_blow_up(tree):
    # Every node names the next one twice: 2^60 paths over 61 objects.
    objects = [(100 + i, "<< /Kids [%d 0 R %d 0 R] >>" % (101 + i, 101 + i)) for i in range(60)]
    objects.append((160, "<< %s >>" % pairs(tree, (1, "leaf"))))
    with pytest.raises(ValueError, match="^type mismatch in %s tree: expected at most 2000000 nodes and key/value "
                                         "pairs$" % tree.word):
        tree.read(tree.doc("100 0 R", objects))


# ---- keys ----

@pytest.mark.parametrize("key, text", [
    ("(plain)", "plain"),
    ("/AName", "AName"),
    ("<FEFF00E9>", "\u00e9"),
    ("<C3A9>", "\u00e9"),
    ("<FF>", "\ufffd"),
], ids=["string", "name", "utf16", "utf8", "invalid-utf8"])
def test_name_tree_key_kinds(key, text):
    doc = NameTree.doc("<< /Names [%s %s] >>" % (key, NameTree.value("v")))
    assert [f["name"] for f in doc.embedded_files()] == [text]


def test_name_tree_orders_by_decoded_text():
    # Raw, the UTF-16 key (FE FF 00 41) sorts after (B); decoded it is "A".
    doc = NameTree.doc("<< /Names [(B) %s <FEFF0041> %s (a) %s] >>"
                       % (NameTree.value("b"), NameTree.value("a"), NameTree.value("lower")))
    assert [f["name"] for f in doc.embedded_files()] == ["A", "B", "a"]


def test_name_tree_keys_decoding_alike_are_one_entry():
    doc = NameTree.doc("<< /Names [(A) %s /A %s] >>" % (NameTree.value("string"), NameTree.value("name")))
    assert [(f["name"], f["description"]) for f in doc.embedded_files()] == [("A", "name")]


@pytest.mark.parametrize("key", ["1.0", "(1)", "/One"])
def test_number_tree_key_must_be_integer(key):
    with pytest.raises(ValueError, match="^type mismatch in number tree key: expected integer$"):
        NumberTree.read(NumberTree.doc("<< /Nums [%s << /P (x) >>] >>" % key))
