"""Command-line and corpus tools over the `velkor` tokenizer module.

Everything here uses only the module's public API: `load_from_file`, and the
`encode`, `decode`, `vocab` and `train` methods of `Data`.
"""
