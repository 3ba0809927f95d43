# The wheel holds no extension module but shared libraries for one C library
# and processor: any Python 3, tagged with the platform that
# TESSELGUARD_WHEEL_PLATFORM names (manylinux_2_34_x86_64, say), its files at
# the wheel's root (platlib), as a binary distribution's are.
import os

from setuptools import Distribution, setup
from wheel.bdist_wheel import bdist_wheel


class binary_distribution(Distribution):
    def has_ext_modules(self):
        return True


class platform_wheel(bdist_wheel):
    def finalize_options(self):
        super().finalize_options()
        self.root_is_pure = False

    def get_tag(self):
        return "py3", "none", os.environ["TESSELGUARD_WHEEL_PLATFORM"]


setup(distclass=binary_distribution, cmdclass={"bdist_wheel": platform_wheel})
