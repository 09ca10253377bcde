"""A typed program that uses wordloom and wordloom_tools the usual way; the
suite checks it with `mypy --strict`, together with wrong uses that mypy must
refuse (the lines marked "expect-error")."""
import wordloom
from wordloom import BpeTokenizer, Encoder, PreTokenization, SpecialTokenRemovalMethod, TokenType
from wordloom_tools import model_files, training


def train(corpus: str, out: str) -> BpeTokenizer:
    tokenizer = BpeTokenizer(corpus, 1000, PreTokenization.whitespace(), special_tokens=("<s>",),
                             special_token_removal_method=SpecialTokenRemovalMethod.aho_corasick(),
                             save_model=True, output_dir=out)
    tokenizer.train()
    return tokenizer


def round_trip(tokenizer: BpeTokenizer, text: str) -> str:
    encoded: Encoder = tokenizer.encode(text)
    words: list[TokenType] = [kind for kind in encoded.token_types if kind == TokenType.WORD]
    first: int = tokenizer.get_id_by_token(encoded.tokens[0])
    assert tokenizer.get_token_by_id(first) == encoded.tokens[0] and int(words[0]) == 0
    return tokenizer.decode(encoded.ids) + encoded.original_text


def with_tools(corpus: str, out: str) -> list[str]:
    settings = training.Settings(punctuation=True)
    trained: BpeTokenizer = training.train_counts(lambda: settings.count_files([corpus]), 1000, out)
    tokenizer: BpeTokenizer = model_files.load(out)
    summary: model_files.Summary = model_files.summarize(out)
    assert trained.get_vocab_size() == tokenizer.get_vocab_size()
    return model_files.vocabulary(tokenizer)[: summary.merges]


version: str = wordloom.__version__
tokenizer = BpeTokenizer.from_pretrained("model")
tokenizer.encode(b"bytes")  # expect-error: arg-type
tokenizer.decode("1 2 3")  # expect-error: arg-type
BpeTokenizer("corpus.txt", 1000, "whitespace")  # expect-error: arg-type
tokenizer.encode("text").ids.append("x")  # expect-error: arg-type
TokenType.WORD < TokenType.SUBWORD  # expect-error: operator
BpeTokenizer.from_pretrained(files_path=b"model")  # expect-error: arg-type
training.train_counts(lambda: training.Settings().count_texts(["low"]), "1000", "model")  # expect-error: arg-type
