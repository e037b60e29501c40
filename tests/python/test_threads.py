"""Several threads using the same objects at once.

The module never releases the interpreter lock, so two calls into it never
overlap, except when a conversion runs Python code: then the interpreter may
switch threads in the middle of a call, and the borrow flag of the object
refuses the other thread's access with RuntimeError.  These tests hammer
shared templates, fragments and iterators from several threads with a tiny
switch interval and check that nothing but those refusals ever surfaces,
that no update is torn, and that every object is free and consistent
afterwards.
"""

import random
import sys
import threading

import pytest

import frasolet
from support import run_script

PromptFragment = frasolet.PromptFragment
PromptTemplate = frasolet.PromptTemplate

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
THREADS = 6
ROUNDS = 400

# The fragment lists that writers store; readers must only ever see one of
# them whole.
CHOICES = [
    [("a", None)],
    [("x", ["1", "2"]), ("y", [])],
    [("p", None), ("q", ["r"]), ("s", None)],
]
TEXTS = ["".join(f"[{s}|{','.join(o)}]" if o else (f"[{s}]" if o == [] else s)
                 for s, o in choice) for choice in CHOICES]


class SlowSequence:
    """A sequence that lets other threads run between its items."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        threading.Event().wait(0)  # a point where the interpreter may switch
        return self.items[index]


@pytest.fixture
def fast_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_threads(worker, count=THREADS):
    errors = []
    barrier = threading.Barrier(count)

    def body(seed):
        rng = random.Random(seed)
        barrier.wait()
        try:
            worker(rng)
        except BaseException as error:  # reported below, with the thread's view
            errors.append(error)

    threads = [threading.Thread(target=body, args=(seed,)) for seed in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


def test_shared_template_and_fragments(fast_switching):
    template = PromptTemplate(TEXTS[0], None)
    fragment = PromptFragment("f", ["o"])
    refusals = []

    def refused(call):
        try:
            call()
        except RuntimeError as error:
            assert str(error) in BORROW_ERRORS
            refusals.append(str(error))

    def worker(rng):
        for _ in range(ROUNDS):
            choice = rng.randrange(len(CHOICES))
            made = [PromptFragment(s, o) for s, o in CHOICES[choice]]
            action = rng.randrange(9)
            if action == 0:
                refused(lambda: setattr(template, "fragments", SlowSequence(made)))
            elif action == 1:
                refused(lambda: template.__setstate__({"template": TEXTS[choice]}))
            elif action == 2:
                refused(lambda: setattr(template, "tokenizer", made))
            elif action == 3:
                refused(lambda: setattr(fragment, "options", SlowSequence(["o", "p"])))
            elif action == 4:
                refused(lambda: setattr(fragment, "string", "g"))
            elif action == 5:
                def read_fragments():
                    seen = [(f.string, f.options) for f in template.fragments]
                    assert seen in CHOICES
                refused(read_fragments)
            elif action == 6:
                def read_text():
                    assert str(template) in TEXTS
                    assert hash(template) in {hash(PromptFragment(t)) for t in TEXTS}
                refused(read_text)
            elif action == 7:
                def read_fragment():
                    assert fragment.string in ("f", "g")
                    assert fragment.options in (["o"], ["o", "p"])
                    assert str(fragment) in ("[f|o]", "[g|o]", "[f|o,p]", "[g|o,p]")
                refused(read_fragment)
            else:
                def iterate():
                    assert [(f.string, f.options) for f in template] in CHOICES
                refused(iterate)

    run_threads(worker)
    # Every borrow was given back: exclusive access works at once.
    template.fragments = [PromptFragment("done")]
    fragment.string = "done"
    assert str(template) == "done" and fragment.string == "done"
    template.tokenizer = None


def test_shared_iterator_hands_out_each_fragment_once(fast_switching):
    count = 20_000
    template = PromptTemplate("".join(f"[n{i}]" for i in range(count)), None)
    iterator = iter(template)
    taken = []
    lock = threading.Lock()

    def worker(rng):
        mine = []
        for fragment in iterator:
            mine.append(fragment.string)
        with lock:
            taken.extend(mine)

    run_threads(worker)
    assert sorted(taken) == sorted(f"n{i}" for i in range(count))
    assert next(iterator, None) is None


def test_shared_sequence_value_written_from_many_threads(fast_switching):
    # The same Python list is the value of many concurrent writes into
    # different templates; each template ends up with a whole copy.
    source = [PromptFragment(f"s{i}", [str(i)]) for i in range(50)]
    templates = [PromptTemplate(None, None) for _ in range(THREADS)]

    def worker(rng):
        for _ in range(ROUNDS // 4):
            target = rng.choice(templates)
            try:
                target.fragments = SlowSequence(source)
            except RuntimeError as error:
                assert str(error) in BORROW_ERRORS

    run_threads(worker)
    for template in templates:
        assert len(template) in (0, 50)


def test_objects_made_and_dropped_in_many_threads():
    def worker(rng):
        for _ in range(ROUNDS):
            text = rng.choice(TEXTS) * rng.randrange(1, 20)
            template = PromptTemplate(text, [text])
            fragments = frasolet.parse(text)
            copy = PromptTemplate(None, template)
            copy.fragments = fragments
            assert str(copy) == str(template) == text
            assert [f.__getstate__() for f in iter(copy)] == [f.__getstate__() for f in fragments]

    run_threads(worker)


def test_first_iterator_made_by_many_threads_at_once():
    # The iterator's class is made on first use; threads racing for it all
    # get the same class.
    result = run_script(
        """
        import sys, threading
        import frasolet
        sys.setswitchinterval(1e-6)
        template = frasolet.PromptTemplate("a[b]", None)
        barrier = threading.Barrier(8)
        kinds = []
        def body():
            barrier.wait()
            kinds.append(type(iter(template)))
        threads = [threading.Thread(target=body) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert len(kinds) == 8 and len(set(kinds)) == 1, kinds
        assert kinds[0].__name__ == "PromptFragmentIter"
        print("ok")
        """,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
