"""Run every demonstration: ``python -m askweave.demos``."""
from askweave.demos import schemasift

schemasift.main()
