"""`wordloom demo`: trains on a corpus that every machine has, then shows a
sample sentence encoded and decoded by the saved model."""
import sys
import tempfile
from pathlib import Path

from wordloom_tools.cli import model
from wordloom_tools.cli.corpus import stdlib_corpus

VOCAB_SIZE = 8000
SAMPLE = "def greet(name): return f'Hello, {name}!' # byte pairs at work"


def run(options):
    corpus = options.corpus or stdlib_corpus()
    out = (options.out or Path(tempfile.mkdtemp(prefix="wordloom-demo-"))).absolute()
    print(f"corpus    {corpus} ({corpus.stat().st_size / 1e6:.1f} MB)")
    seconds = model.train(corpus, options.vocab_size, out)
    summary = model.summarize(out)
    print(f"trained   {summary.vocabulary_size} tokens ({summary.merges} merges) in {seconds:.2f} s")
    print(f"saved to  {out}")

    tokenizer = model.load(out)
    encoded = model.encode(tokenizer, SAMPLE)
    print(f"sample    {SAMPLE!r}")
    print(f"tokens    {' '.join(encoded.tokens)}")
    print(f"ids       {' '.join(map(str, encoded.ids))}")
    print(f"decoded   {tokenizer.decode(encoded.ids)!r}")
    print(f"          {len(encoded.ids)} tokens for {len(SAMPLE)} characters "
          f"({len(SAMPLE) / len(encoded.ids):.1f} characters per token)")
    print()
    print("Try the model yourself:")
    print(f"  {_this_command()} encode --model {out} \"your text\"")
    print(f"  {_this_command()} info --model {out}")


def _this_command():
    """How to run this command again from any directory, whether or not it is
    on the PATH."""
    script = Path(sys.argv[0])
    if script.name == "wordloom":
        return str(script.absolute())
    return f"{sys.executable} -m wordloom_tools"
