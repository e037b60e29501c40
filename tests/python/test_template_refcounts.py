"""PromptTemplate and its iterator: reference counts after many calls of
every operation, failing calls included."""

import copy
import gc
import pickle
import sys

import pytest

from frasolet import PromptFragment, PromptTemplate
from support import ActionIndex, Index, RaisingSeq, Seq, Token, sequence_getitem


class Sub(PromptTemplate):
    pass


class World:
    """Fresh objects for one reference-count check."""

    def __init__(self):
        self.tok = Token()
        self.tok2 = Token()
        self.text = "".join(["Hi [", "name|a,b] \\[x\\] [y]!"])
        self.t = PromptTemplate(self.text, self.tok)
        self.f1 = PromptFragment("p")
        self.f2 = PromptFragment("q", [])
        self.f3 = PromptFragment("r", ["s", "t"])
        self.frag_list = [self.f1, self.f2, self.f3]
        self.frag_tuple = (self.f1, self.f2)
        self.bad_list = [self.f1, 5]
        self.seq = Seq(self.frag_list)
        self.raising_seq = RaisingSeq(self.frag_list)
        self.other = PromptTemplate("o[p|q]", self.tok2)
        self.state = {"template": self.text}
        self.partial_state = {"template": self.text, 1: 2}
        self.list_state = [("template", self.text)]
        self.index = Index(1)
        self.writing_key = ActionIndex(lambda: setattr(self.t, "fragments", self.frag_list))
        self.iter_class = type(iter(self.t))
        self.data = pickle.dumps(self.t)

    def watched(self):
        return {name: value for name, value in vars(self).items()} | {
            "PromptTemplate": PromptTemplate, "PromptFragment": PromptFragment,
            "Sub": Sub, "Token": Token,
        }


def _drain(w):
    it = iter(w.t)
    while True:
        try:
            next(it)
        except StopIteration:
            break
    next(it, None)


def _swap_tokenizer(w):
    w.t.tokenizer = w.tok2
    w.t.tokenizer = w.tok


def _set_and_restore(w, value):
    w.t.fragments = value
    w.t.__setstate__(w.state)


LEAK_CASES = [
    ("new", lambda w: PromptTemplate(w.text, w.tok), None),
    ("new_keywords", lambda w: PromptTemplate(template=w.text, tokenizer=w.tok), None),
    ("new_none", lambda w: PromptTemplate(None, w.tok), None),
    ("new_subclass", lambda w: Sub(w.text, w.tok), None),
    ("new_bad_template", lambda w: PromptTemplate(5, w.tok), TypeError),
    ("new_list_template", lambda w: PromptTemplate(w.frag_list, w.tok), TypeError),
    ("new_missing", lambda w: PromptTemplate(w.text), TypeError),
    ("new_too_many", lambda w: PromptTemplate(w.text, w.tok, w.tok2), TypeError),
    ("new_unexpected_keyword", lambda w: PromptTemplate(w.text, w.tok, x=w.tok2), TypeError),
    ("new_twice", lambda w: PromptTemplate(w.text, w.tok, template=w.text), TypeError),
    ("new_surrogate", lambda w: PromptTemplate("a\ud800", w.tok), UnicodeEncodeError),
    ("tokenizer_get", lambda w: w.t.tokenizer, None),
    ("tokenizer_set", _swap_tokenizer, None),
    ("tokenizer_delete", lambda w: delattr(w.t, "tokenizer"), AttributeError),
    ("fragments_get", lambda w: w.t.fragments, None),
    ("fragments_set_list", lambda w: _set_and_restore(w, w.frag_list), None),
    ("fragments_set_tuple", lambda w: _set_and_restore(w, w.frag_tuple), None),
    ("fragments_set_template", lambda w: _set_and_restore(w, w.other), None),
    ("fragments_set_sequence", lambda w: _set_and_restore(w, w.seq), None),
    ("fragments_set_bad_item", lambda w: setattr(w.t, "fragments", w.bad_list), TypeError),
    ("fragments_set_not_sequence", lambda w: setattr(w.t, "fragments", w.tok), TypeError),
    ("fragments_set_raising", lambda w: setattr(w.t, "fragments", w.raising_seq), ValueError),
    ("fragments_set_itself", lambda w: setattr(w.t, "fragments", w.t), RuntimeError),
    ("fragments_delete", lambda w: delattr(w.t, "fragments"), AttributeError),
    ("parse", lambda w: PromptTemplate.parse(w.text), None),
    ("parse_bad", lambda w: w.t.parse(w.tok), TypeError),
    ("getstate", lambda w: w.t.__getstate__(), None),
    ("getstate_bad", lambda w: w.t.__getstate__(w.tok), TypeError),
    ("setstate", lambda w: w.t.__setstate__(w.state), None),
    ("setstate_keyword", lambda w: w.t.__setstate__(state=w.state), None),
    ("setstate_partial", lambda w: w.t.__setstate__(w.partial_state), TypeError),
    ("setstate_not_dict", lambda w: w.t.__setstate__(w.list_state), TypeError),
    ("setstate_missing", lambda w: w.t.__setstate__(), TypeError),
    ("str", lambda w: str(w.t), None),
    ("repr", lambda w: repr(w.t), None),
    ("hash", lambda w: hash(w.t), None),
    ("len", lambda w: len(w.t), None),
    ("subscript", lambda w: w.t[2], None),
    ("subscript_index_object", lambda w: w.t[w.index], None),
    ("subscript_sequence_item", lambda w: sequence_getitem(w.t, 1), None),
    ("subscript_out_of_range", lambda w: w.t[99], IndexError),
    ("subscript_negative", lambda w: w.t[-1], OverflowError),
    ("subscript_not_index", lambda w: w.t[w.tok], TypeError),
    ("subscript_reentrant", lambda w: w.t[w.writing_key], RuntimeError),
    ("iter", lambda w: iter(w.t), None),
    ("iterate_to_end", _drain, None),
    ("contains", lambda w: w.f1 in w.t, None),
    ("iter_no_constructor", lambda w: w.iter_class(), TypeError),
    ("pickle_dumps", lambda w: pickle.dumps(w.t), None),
    ("pickle_loads", lambda w: pickle.loads(w.data), None),
    ("copy", lambda w: copy.copy(w.t), None),
    ("deepcopy", lambda w: copy.deepcopy(w.t), None),
    ("reduce", lambda w: w.t.__reduce__(), None),
    ("setstate_tuple", lambda w: w.t.__setstate__((w.frag_list, w.tok)), None),
    ("setstate_tuple_bad_item", lambda w: w.t.__setstate__((w.bad_list, w.tok2)), TypeError),
]


def _counts(objects):
    gc.collect()
    return {name: sys.getrefcount(value) for name, value in objects.items()}


@pytest.mark.slow_under_emulation
@pytest.mark.parametrize("call, exc_type", [c[1:] for c in LEAK_CASES],
                         ids=[c[0] for c in LEAK_CASES])
def test_reference_counts_after_many_calls(call, exc_type):
    w = World()
    watched = w.watched()

    catch = () if exc_type is None else exc_type

    def run():
        raised = False
        try:
            call(w)
        except catch:
            raised = True
        assert raised == (exc_type is not None)

    for _ in range(3):
        run()
    before = _counts(watched)
    for _ in range(300):
        run()
    after = _counts(watched)
    changed = {name: (before[name], after[name]) for name in before
               if before[name] != after[name]}
    assert changed == {}
    # And everything still works.
    w.t.tokenizer = w.tok2
    w.t.fragments = w.frag_list
    assert [f.string for f in w.t] == ["p", "q", "r"]


def test_tokenizer_count_returns_after_templates_freed():
    tok = Token()
    base = sys.getrefcount(tok)
    for cls in (PromptTemplate, Sub):
        made = [cls("a[b]", tok) for _ in range(100)]
        assert sys.getrefcount(tok) == base + 100
        for t in made[::2]:
            t.tokenizer = None
        assert sys.getrefcount(tok) == base + 50
        del made, t
        assert sys.getrefcount(tok) == base
