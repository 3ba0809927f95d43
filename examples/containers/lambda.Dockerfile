# TesselGuard in a Lambda container image: the layer's files where Lambda
# unpacks a layer (/opt), and the variables that a function with the layer
# sets. Any AWS base image; its runtime starts as it does with the layer.
#   unzip build/tesselguard-layer.zip -d tesselguard-layer   (beside this file)
FROM public.ecr.aws/lambda/python:3.12

COPY tesselguard-layer/ /opt/
ENV LD_PRELOAD=/opt/lib/libtesselguard.so \
    TESSEL_GUARD_POLICY_READ_WRITE_TMP=block \
    TESSEL_GUARD_POLICY_READ_HANDLER=block \
    TESSEL_GUARD_POLICY_CREATE_CHILD_PROCESS=block \
    TESSEL_GUARD_POLICY_OUTBOUND_CONNECTIVITY=alert \
    TESSEL_GUARD_DISABLE_ANALYTICS=true

COPY lambda_function.py ${LAMBDA_TASK_ROOT}/
CMD ["lambda_function.lambda_handler"]
