"""Run every demonstration: ``python -m askweave.demos``."""
from askweave.demos import schemasift, turnlens

schemasift.main()
turnlens.main()
