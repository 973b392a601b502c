# The test budget: non-blank lines of the tests (tests/, fuzz/) against the
# rest of the project's own .py/.pyi/.cpp/.hpp/.h files, third_party/ left out.
#   make count   tests, code and their ratio (tools/count_lines.py --files
#                lists every file)

.PHONY: count

count:
	@python3 tools/count_lines.py
