# TesselGuard in a Cloud Run service (or a current-generation function built
# from a Dockerfile), Python: the wheel installed with pip, its library
# preloaded into every process, and the policy set by the package's
# configure call when main.py is imported:
#   import tesselguard
#   COOKIE = tesselguard.configure(policy={"read_write_tmp": "block", "outbound_connectivity": "alert"})
FROM python:3.12-slim-bookworm
WORKDIR /workspace

COPY requirements.txt tesselguard-2.0.14-py3-none-manylinux_2_34_x86_64.whl ./
RUN pip install --no-cache-dir -r requirements.txt gunicorn \
        ./tesselguard-2.0.14-py3-none-manylinux_2_34_x86_64.whl
COPY main.py ./

# After the installation: from here on every process loads the library.
# FUNCTION_TARGET, with the K_SERVICE that Cloud Run sets, tells the
# library where it runs.
ENV FUNCTION_TARGET=app \
    LD_PRELOAD=/usr/local/lib/python3.12/site-packages/tesselguard/lib/libtesselguard.so
# exec: gunicorn replaces the shell in place and stays the first process;
# --preload imports main.py (and configures) before the worker is forked.
CMD exec gunicorn --bind ":$PORT" --workers 1 --preload main:app
