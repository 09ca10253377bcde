"""Tools around the wordloom tokenizer: the `wordloom` command line, word
counts, pickling support and integrations. The tokenizer itself is the
extension module `wordloom`."""
import pkgutil

# The compiled part of the package lies beside these files once installed, and
# in a build tree (on PYTHONPATH) while the suite runs from the source tree.
__path__ = pkgutil.extend_path(__path__, __name__)

from wordloom_tools._native import WordCounts as WordCounts  # noqa: E402
