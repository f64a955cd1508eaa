"""The families of a GLMM: the Python face of the core's one table of families and links
(family), and each family's reading of the response (response). A new family is an entry
of the core's table (src/lmm/glmm/family.cpp); its response reading goes here."""
