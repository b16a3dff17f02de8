"""Module members, document strings and text signatures as Python tools see them."""

from __future__ import annotations

import inspect
import shutil
import subprocess
import types

import pytest

import kova_rs
from kova_rs import _native
from kova_rs._native import RetargetingConfig, SeqRetargeting

CONFIG_SIGNATURE = (
    "RetargetingConfig(type, urdf_path, *, add_dummy_free_joint=False, "
    "target_link_human_indices=None, wrist_link_name=None, target_link_names=None, "
    "target_joint_names=None, target_origin_link_names=None, target_task_link_names=None, "
    "finger_tip_link_names=None, scaling_factor=1.0, normal_delta=4e-3, huber_delta=2e-2, "
    "project_dist=0.03, escape_dist=0.05, has_joint_limits=True, ignore_mimic_joint=False, "
    "low_pass_alpha=0.1, urdf_dir=None)"
)

CONFIG_GETTERS = [
    "type_", "urdf_path", "add_dummy_free_joint", "target_link_human_indices", "wrist_link_name",
    "target_link_names", "target_joint_names", "target_origin_link_names",
    "target_task_link_names", "finger_tip_link_names", "scaling_factor", "normal_delta",
    "huber_delta", "project_dist", "escape_dist", "has_joint_limits", "ignore_mimic_joint",
    "low_pass_alpha", "urdf_dir",
]

SEQ_METHODS = {
    "retarget": "($self, ref_value, fixed_qpos=None)",
    "reset": "($self)",
    "set_qpos": "($self, robot_qpos)",
    "get_qpos": "($self, fixed_qpos=None)",
    "link_positions": "($self, robot_qpos, link_names)",
}


def test_module_document_and_version():
    assert _native.__doc__ == "Native bindings for kova-rs hand retargeting"
    assert _native.__version__ == "0.4.0"
    assert kova_rs.__version__ == "0.4.0"


def test_module_members_in_order():
    own = [name for name in vars(_native) if name not in
           {"__name__", "__package__", "__loader__", "__spec__", "__file__"}]
    # The internal-fault exception comes after the documented members.
    assert own == ["__doc__", "__version__", "RetargetingConfig", "SeqRetargeting",
                   "load_from_file", "PanicException"]


def test_package_reexports_public_names():
    assert kova_rs.RetargetingConfig is RetargetingConfig
    assert kova_rs.SeqRetargeting is SeqRetargeting
    assert kova_rs.load_from_file is _native.load_from_file
    assert kova_rs.PanicException is _native.PanicException
    # the package adds its NumPy tool (Retargeter, hand frames, ...) beside the native names
    assert {"RetargetingConfig", "SeqRetargeting", "load_from_file", "PanicException",
            "__version__"} <= set(kova_rs.__all__)
    assert all(hasattr(kova_rs, name) for name in kova_rs.__all__)


def test_class_names_and_module():
    for cls in (RetargetingConfig, SeqRetargeting):
        assert cls.__module__ == "kova_rs._native"
    assert RetargetingConfig.__name__ == "RetargetingConfig"
    assert SeqRetargeting.__name__ == "SeqRetargeting"


def test_config_document_is_exactly_the_constructor_signature():
    assert RetargetingConfig.__doc__ == CONFIG_SIGNATURE


def test_config_class_signature():
    assert RetargetingConfig.__text_signature__ == CONFIG_SIGNATURE[len("RetargetingConfig"):]
    signature = inspect.signature(RetargetingConfig)
    parameters = list(signature.parameters.values())
    assert [p.name for p in parameters[:2]] == ["type", "urdf_path"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters[:2])
    assert all(p.kind is p.KEYWORD_ONLY for p in parameters[2:])
    assert len(parameters) == 19
    defaults = {p.name: p.default for p in parameters[2:]}
    assert defaults == {
        "add_dummy_free_joint": False, "target_link_human_indices": None,
        "wrist_link_name": None, "target_link_names": None, "target_joint_names": None,
        "target_origin_link_names": None, "target_task_link_names": None,
        "finger_tip_link_names": None, "scaling_factor": 1.0, "normal_delta": 0.004,
        "huber_delta": 0.02, "project_dist": 0.03, "escape_dist": 0.05,
        "has_joint_limits": True, "ignore_mimic_joint": False, "low_pass_alpha": 0.1,
        "urdf_dir": None,
    }


def test_from_file_and_load_from_file_signatures():
    assert RetargetingConfig.from_file.__text_signature__ == "(path)"
    assert str(inspect.signature(RetargetingConfig.from_file)) == "(path)"
    assert isinstance(inspect.getattr_static(RetargetingConfig, "from_file"), staticmethod)
    assert _native.load_from_file.__text_signature__ == "(path)"
    assert str(inspect.signature(_native.load_from_file)) == "(path)"
    assert _native.load_from_file.__doc__ is None


def test_build_signature_on_class_and_bound_method():
    assert RetargetingConfig.build.__text_signature__ == "($self)"
    assert str(inspect.signature(RetargetingConfig.build)) == "(self, /)"
    config = RetargetingConfig("dexpilot", "x.urdf", wrist_link_name="w",
                               finger_tip_link_names=["a", "b"])
    assert str(inspect.signature(config.build)) == "()"


@pytest.mark.parametrize("name", list(SEQ_METHODS))
def test_seq_method_text_signatures(name):
    method = getattr(SeqRetargeting, name)
    assert method.__text_signature__ == SEQ_METHODS[name]
    assert method.__doc__ is None  # the document string is only the signature
    unbound = inspect.signature(method)
    assert list(unbound.parameters)[0] == "self"


def test_seq_bound_method_signatures(allegro):
    from conftest import position_config

    seq = position_config(allegro).build()
    assert str(inspect.signature(seq.retarget)) == "(ref_value, fixed_qpos=None)"
    assert str(inspect.signature(seq.reset)) == "()"
    assert str(inspect.signature(seq.set_qpos)) == "(robot_qpos)"
    assert str(inspect.signature(seq.get_qpos)) == "(fixed_qpos=None)"
    assert str(inspect.signature(seq.link_positions)) == "(robot_qpos, link_names)"


def test_config_getters_registered_in_order_without_documents():
    getters = [name for name, value in vars(RetargetingConfig).items()
               if isinstance(value, types.GetSetDescriptorType)]
    assert getters == CONFIG_GETTERS
    for name in getters:
        descriptor = vars(RetargetingConfig)[name]
        assert descriptor.__doc__ is None
        assert descriptor.__set__ is not None  # descriptors always have it; setting must fail


def test_config_member_order():
    members = [name for name in vars(RetargetingConfig)
               if name not in {"__new__", "__doc__", "__module__"}]
    assert members == ["from_file", "build", "__repr__", *CONFIG_GETTERS]


def test_seq_members_in_order_of_definition():
    members = [name for name in vars(SeqRetargeting)
               if name not in {"__doc__", "__module__"}]
    assert members == ["retarget", "reset", "set_qpos", "get_qpos", "joint_names", "link_names",
                       "link_positions", "fixed_dof", "target_dof"]
    for name in ("joint_names", "link_names", "fixed_dof", "target_dof"):
        assert isinstance(vars(SeqRetargeting)[name], types.GetSetDescriptorType)
        assert vars(SeqRetargeting)[name].__doc__ is None


def test_seq_retargeting_is_not_constructible():
    with pytest.raises(TypeError):
        SeqRetargeting()
    with pytest.raises(TypeError):
        SeqRetargeting.__new__(SeqRetargeting)
    # No uninitialised native object can be made by going around the constructor.
    for cls in (SeqRetargeting, RetargetingConfig):
        with pytest.raises(TypeError):
            object.__new__(cls)


def test_classes_are_immutable_and_final():
    with pytest.raises(TypeError):
        RetargetingConfig.extra = 1
    with pytest.raises(TypeError):
        SeqRetargeting.retarget = None
    with pytest.raises(TypeError):
        type("Sub", (RetargetingConfig,), {})


def test_internal_fault_exception_derives_directly_from_base_exception():
    assert kova_rs.PanicException.__bases__ == (BaseException,)
    assert not issubclass(kova_rs.PanicException, Exception)


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    output = subprocess.run([nm, "-D", "--defined-only", _native.__file__], check=True,
                            capture_output=True, text=True).stdout
    symbols = [line.split()[-1] for line in output.splitlines() if line.strip()]
    assert symbols == ["PyInit__native"]


def stub_tree():
    import ast
    from importlib import resources

    package = resources.files("kova_rs")
    assert package.joinpath("py.typed").is_file()
    return ast.parse(package.joinpath("_native.pyi").read_text(encoding="utf-8"))


def test_type_stub_ships_and_matches_the_module():
    import ast

    tree = stub_tree()
    top = {node.name for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    assert top == {"RetargetingConfig", "SeqRetargeting", "PanicException", "load_from_file"}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name in ("RetargetingConfig", "SeqRetargeting"):
            declared = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
            runtime = {name for name in vars(getattr(_native, node.name))
                       if not name.startswith("__")}
            assert declared - {"__new__"} == runtime


def test_type_stub_constructor_matches_the_runtime_signature():
    import ast

    tree = stub_tree()
    config = next(n for n in tree.body if isinstance(n, ast.ClassDef)
                  and n.name == "RetargetingConfig")
    new = next(n for n in config.body if isinstance(n, ast.FunctionDef) and n.name == "__new__")
    positional = [a.arg for a in new.args.args][1:]  # without cls
    keyword_only = [a.arg for a in new.args.kwonlyargs]
    defaults = [ast.literal_eval(d) for d in new.args.kw_defaults]
    runtime = inspect.signature(RetargetingConfig).parameters
    assert positional + keyword_only == list(runtime)
    assert defaults == [p.default for p in list(runtime.values())[2:]]
