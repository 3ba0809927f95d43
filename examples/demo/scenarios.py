"""The demo's scenarios: which function runs on which platform, started how,
and the policy it runs under (from which the expected outcomes follow)."""
import dataclasses
import os
import shutil

EXAMPLES = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else shutil.which("python3")
NODE = "/usr/bin/node" if os.path.exists("/usr/bin/node") else shutil.which("node")

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
    title: str
    runtime: list  # the runtime stand-in's command line
    code: str  # the function's folder
    source: str  # the handler's source file in it
    policy: dict  # rule -> mode the function runs under; a missing rule is allow
    handler: str = ""  # AWS: _HANDLER
    execution_env: str = ""  # AWS: AWS_EXECUTION_ENV
    loads_itself: str = ""  # Google: how the function loads the library

    @property
    def function_name(self):
        return "tesselguard-demo-" + self.key

    def source_file(self):
        return os.path.join(self.code, self.source)

    def policy_variables(self):
        """AWS: the TESSEL_GUARD_POLICY_* variables (read_handler has none)."""
        return {"TESSEL_GUARD_POLICY_" + rule.upper(): mode
                for rule, mode in self.policy.items() if rule != "read_handler"}


def _function(name):
    return os.path.join(EXAMPLES, "functions", name)


def _runtime(interpreter, name):
    return [interpreter, os.path.join(EXAMPLES, "runtimes", name)]


SCENARIOS = [
    Scenario(
        key="aws-python", platform="aws", title="AWS Lambda · Python runtime (AWS_Lambda_python3.7) · handler.handle",
        runtime=_runtime(PYTHON, "lambda_python.py"), code=_function("aws-python"), source="handler.py",
        handler="handler.handle", execution_env="AWS_Lambda_python3.7",
        policy={"read_write_tmp": "block", "create_child_process": "alert", "outbound_connectivity": "block"}),
    Scenario(
        key="aws-node", platform="aws", title="AWS Lambda · Node.js runtime (AWS_Lambda_nodejs10.x) · index.handler",
        runtime=_runtime(NODE, "lambda_node.js"), code=_function("aws-node"), source="index.js",
        handler="index.handler", execution_env="AWS_Lambda_nodejs10.x",
        policy={"read_write_tmp": "alert", "create_child_process": "block", "outbound_connectivity": "alert"}),
    Scenario(
        key="gcf-python", platform="google", title="Google Cloud Functions · Python runtime · main.handle",
        runtime=_runtime(PYTHON, "gcf_python.py"), code=_function("gcf-python"), source="main.py",
        loads_itself="main.py loads libtesselguard.so through ctypes and calls tesselguard_configure",
        policy={"read_write_tmp": "alert", "read_handler": "block", "create_child_process": "block",
                "outbound_connectivity": "alert"}),
    Scenario(
        key="gcf-node", platform="google", title="Google Cloud Functions · Node.js runtime · index.handle",
        runtime=_runtime(NODE, "gcf_node.js"), code=_function("gcf-node"), source="index.js",
        loads_itself="index.js loads libtesselguard.so through a Node-API addon and calls tesselguard_configure",
        policy={"read_write_tmp": "block", "read_handler": "alert", "create_child_process": "alert",
                "outbound_connectivity": "block"}),
]
