"""Internal failures (states that valid data never reaches) reach Python as
PanicException. Run in a child interpreter: the model loader may end the
process on a directory it rejects."""
import json
import re

from conftest import run_python, write_model_files

CHILD = """
import json, sys, wordloom

def internal_failure():
    try:
        wordloom.BpeTokenizer.from_pretrained(files_path=sys.argv[1]).encode("a b")
    except BaseException as error:
        return error

first, second = internal_failure(), internal_failure()
print(json.dumps({
    "type": type(first).__name__,
    "bases": [base.__name__ for base in type(first).__bases__],
    "args": list(first.args),
    "made_once": type(first) is type(second),
    "module_attribute": hasattr(wordloom, type(first).__name__),
    "still_usable": repr(wordloom.BpeTokenizer("c", 1, wordloom.PreTokenization.whitespace())),
}))
"""


def test_panic_exception_derives_from_base_exception_and_names_the_place(tmp_path):
    # A well-formed model whose token table lacks the end-of-word marker "</w>",
    # so no text can be encoded with it.
    model = write_model_files(tmp_path / "model", ["a", "b"])
    child = run_python(CHILD, model)
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout.splitlines()[-1])
    assert report == {
        "type": "PanicException",
        "bases": ["BaseException"],
        "args": report["args"],
        "made_once": True,
        "module_attribute": False,
        "still_usable": "BpeTokenizer(vocab_size=0)",
    }
    [message] = report["args"]
    assert message and message in child.stderr
    assert re.search(r"\.[ch]pp:\d+", child.stderr), child.stderr
