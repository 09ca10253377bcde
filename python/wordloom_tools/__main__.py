"""Lets `python -m wordloom_tools` run the `wordloom` command."""
import sys

from wordloom_tools.cli.main import main

sys.exit(main())
