# TesselGuard in a Cloud Run service (or a current-generation function built
# from a Dockerfile), Node.js: the npm package installed from its tarball,
# its library preloaded into every process, and the policy set by the
# package's configure call in index.js:
#   const tesselguard = require('tesselguard');
#   tesselguard.configure({ policy: { read_write_tmp: 'block', outbound_connectivity: 'alert' } });
FROM node:20-bookworm-slim
WORKDIR /workspace

COPY package.json tesselguard-2.0.14.tgz ./
RUN npm install --omit=dev ./tesselguard-2.0.14.tgz @google-cloud/functions-framework
COPY index.js ./

# After the installation: from here on every process loads the library.
# FUNCTION_TARGET names the function for the framework, and, with the
# K_SERVICE that Cloud Run sets, tells the library where it runs.
ENV FUNCTION_TARGET=handler \
    LD_PRELOAD=/workspace/node_modules/tesselguard/lib/linux-x64/libtesselguard.so
# The launcher's "#!/usr/bin/env node" replaces env with node in place, so
# node stays the first process, the one that may configure (npm start or
# npx would start it as a child).
CMD ["node_modules/.bin/functions-framework"]
