# The slow tests of this folder, with timeouts of a few times their usual length.
