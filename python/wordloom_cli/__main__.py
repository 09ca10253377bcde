"""Lets `python -m wordloom_cli` run the `wordloom` command."""
import sys

from wordloom_cli.main import main

sys.exit(main())
