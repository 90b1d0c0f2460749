"""``python -m corvane_audit``: the corvane-audit command."""

from corvane_audit.cli import main

raise SystemExit(main())
