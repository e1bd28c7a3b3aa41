"""velmar: compiled astrodynamics for Python.

Two-line element sets and their histories, two-body propagation and its
Jacobian, time scales, and Earth orientation parameters from the IERS
bulletins, as C++ extension modules over numpy arrays.
"""

__version__ = "0.1.0"
