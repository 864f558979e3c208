"""
Labels spreading over two moons
===============================

x
"""
import matplotlib.pyplot as plt
plt.plot([1,2])
