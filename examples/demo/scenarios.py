"""The demo's scenarios: which function runs on which platform, started how,
and the policy it runs under (from which the expected outcomes follow)."""
import dataclasses
import os

EXAMPLES = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))

# Each attempt of the compromised dependency and the rule that judges it.
RULE_OF_ATTEMPT = {
    "write_tmp": "read_write_tmp",
    "read_handler": "read_handler",
    "start_program": "create_child_process",
    "connect": "outbound_connectivity",
}


@dataclasses.dataclass
class Scenario:
    key: str
    platform: str  # "aws" or "google"
    language: str  # "python" or "node"
    title: str
    source: str  # the handler's source file in the function's folder
    policy: dict  # rule -> mode the function runs under; a missing rule is allow
    handler: str = ""  # AWS: _HANDLER
    execution_env: str = ""  # AWS: AWS_EXECUTION_ENV
    interpreter: str = ""  # AWS: what the bootstrap execs in place
    notes: tuple = ()  # shown under the heading

    @property
    def function_name(self):
        return "tesselguard-demo-" + self.key

    def function_folder(self):
        return os.path.join(EXAMPLES, "functions", self.key)

    def policy_variables(self):
        """AWS: the TESSEL_GUARD_POLICY_* variables of the policy."""
        return {"TESSEL_GUARD_POLICY_" + rule.upper(): mode for rule, mode in self.policy.items()}


SCENARIOS = [
    Scenario(
        key="aws-python", platform="aws", language="python",
        title="AWS Lambda · python3.12 (AWS_Lambda_python3.12) · lambda_function.lambda_handler",
        source="lambda_function.py", handler="lambda_function.lambda_handler",
        execution_env="AWS_Lambda_python3.12", interpreter="python3",
        policy={"read_write_tmp": "block", "read_handler": "block", "create_child_process": "block",
                "outbound_connectivity": "alert"},
        notes=("The package ships its source only, no bytecode: the runtime reads lambda_function.py itself "
               "during the start phase, unjudged; the start phase ends when the handler imports its dependency, "
               "and every read of the handler after that is judged.",)),
    Scenario(
        key="aws-node", platform="aws", language="node",
        title="AWS Lambda · nodejs20.x (AWS_Lambda_nodejs20.x) · index.handler (index.mjs) · aws-lambda-ric",
        source="index.mjs", handler="index.handler", execution_env="AWS_Lambda_nodejs20.x", interpreter="node",
        policy={"read_write_tmp": "alert", "read_handler": "block", "create_child_process": "block",
                "outbound_connectivity": "block"},
        notes=("aws-lambda-ric imports index.mjs during the start phase, unjudged; the phase ends when the "
               "module graph reaches the dependency's first file, and every read of index.mjs after that is "
               "judged.",)),
    Scenario(
        key="gcf-python", platform="google", language="python",
        title="Google Cloud Run functions · Python · main.handle · Flask under gunicorn",
        source="main.py",
        policy={"read_write_tmp": "block", "read_handler": "block", "create_child_process": "block",
                "outbound_connectivity": "alert"},
        notes=("gunicorn runs as Google's framework runs it, with no worker_tmp_dir: each worker's heartbeat file "
               "(tempfile.mkstemp in /tmp) is an anonymous memory file, so the worker boots under tmp block "
               "with no record.",
               "The gunicorn master imports the app (--preload): main.py imports the tesselguard package, whose "
               "configure loads the library and configures it there, in the first process; the request is "
               "served by the worker it forks afterwards.",
               "The worker's attempts are judged only by a library whose forked children keep every hook; one "
               "that keeps only execve and close in a forked child lets the worker's file and network "
               "attempts through unjudged.")),
    Scenario(
        key="gcf-node", platform="google", language="node",
        title="Google Cloud Run functions · Node.js · index.handle · @google-cloud/functions-framework",
        source="index.js",
        policy={"read_write_tmp": "block", "read_handler": "alert", "create_child_process": "alert",
                "outbound_connectivity": "block"},
        notes=("Started through the framework's launcher (#!/usr/bin/env node) with the library preloaded: env is "
               "the first process and execs node in place, which keeps its standing, so the configuration call "
               "that index.js makes from node is accepted.",)),
]
