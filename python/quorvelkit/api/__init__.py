"""The entry points: lmm (lmm) and glmm (glmm), thin calls of the one fit."""
