// WMI objects of the simulated host: property values, object paths and IWbemClassObject.
#include "internal/Wmi.h"

#include <algorithm>
#include <cwctype>

namespace ksim::wmi {

namespace {

// VariantCopy of a source the caller keeps: some platform headers declare the source without
// const, though it is only read.
HRESULT CopyVariant(VARIANT* pDest, const VARIANT* pSrc) { return VariantCopy(pDest, const_cast<VARIANT*>(pSrc)); }

}  // namespace

const wchar_t kRootWmi[] = L"ROOT\\WMI";
const wchar_t kRootCimv2[] = L"ROOT\\CIMV2";

Value::Value() {
  VariantInit(&m_v);
  m_v.vt = VT_NULL;
}

Value::Value(const VARIANT& v) {
  VariantInit(&m_v);
  if (FAILED(CopyVariant(&m_v, &v))) m_v.vt = VT_NULL;
}

Value Value::Null() { return Value(); }

Value Value::Str(const std::wstring& s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(s.c_str(), static_cast<UINT>(s.size()));
  Value result(v);
  VariantClear(&v);
  return result;
}

Value Value::I4(LONG l) {
  Value result;
  result.m_v.vt = VT_I4;
  result.m_v.lVal = l;
  return result;
}

Value Value::Bool(bool b) {
  Value result;
  result.m_v.vt = VT_BOOL;
  result.m_v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return result;
}

Value Value::Bytes(const std::vector<BYTE>& bytes) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_UI1;
  v.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  // The simulated host fills its own array directly: a fault meant for the product's calls must
  // not change what the driver stored.
  if (v.parray && !bytes.empty()) std::copy(bytes.begin(), bytes.end(), static_cast<BYTE*>(v.parray->pvData));
  Value result(v);
  VariantClear(&v);
  return result;
}

Value Value::Object(IUnknown* p) {
  Value result;
  result.m_v.vt = VT_UNKNOWN;
  result.m_v.punkVal = p;
  if (p) p->AddRef();
  return result;
}

Value::Value(const Value& other) : Value(other.m_v) {}

Value& Value::operator=(const Value& other) {
  if (this != &other) {
    VARIANT copy;
    VariantInit(&copy);
    if (FAILED(CopyVariant(&copy, &other.m_v))) copy.vt = VT_NULL;
    VariantClear(&m_v);
    m_v = copy;
  }
  return *this;
}

Value::~Value() { VariantClear(&m_v); }

std::wstring Value::AsString() const {
  if (m_v.vt != VT_BSTR || !m_v.bstrVal) return std::wstring();
  return std::wstring(m_v.bstrVal, SysStringLen(m_v.bstrVal));
}

LONG Value::AsI4() const { return m_v.vt == VT_I4 ? m_v.lVal : 0; }

std::vector<BYTE> Value::AsBytes() const {
  std::vector<BYTE> out;
  if (m_v.vt != (VT_ARRAY | VT_UI1) || !m_v.parray) return out;
  const BYTE* p = static_cast<const BYTE*>(m_v.parray->pvData);
  out.assign(p, p + m_v.parray->rgsabound[0].cElements);
  return out;
}

}  // namespace ksim::wmi

namespace ksim::wmi::detail {
namespace {

wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

}  // namespace

bool NameEq(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool NameEq(const wchar_t* a, const std::wstring& b) { return a && NameEq(std::wstring(a), b); }

Prop* ObjectData::Find(const std::wstring& name) {
  for (Prop& p : props)
    if (NameEq(p.name, name)) return &p;
  return nullptr;
}

const Prop* ObjectData::Find(const std::wstring& name) const {
  return const_cast<ObjectData*>(this)->Find(name);
}

std::wstring EscapeKeyValue(const std::wstring& value) {
  std::wstring out;
  for (wchar_t c : value) {
    if (c == L'\\' || c == L'"') out += L'\\';
    out += c;
  }
  return out;
}

bool KeyText(const Value& value, std::wstring* pText, bool* pbQuoted) {
  const VARIANT& v = value.Variant();
  switch (v.vt) {
    case VT_BSTR: *pText = value.AsString(); *pbQuoted = true; return true;
    case VT_I4: *pText = std::to_wstring(v.lVal); *pbQuoted = false; return true;
    case VT_UI1: *pText = std::to_wstring(v.bVal); *pbQuoted = false; return true;
    case VT_I2: *pText = std::to_wstring(v.iVal); *pbQuoted = false; return true;
    case VT_BOOL: *pText = v.boolVal ? L"TRUE" : L"FALSE"; *pbQuoted = false; return true;
    default: return false;
  }
}

std::wstring RelPath(const ObjectData& data) {
  if (data.isClass) return data.className;
  std::vector<const Prop*> keys;
  for (const Prop& p : data.props)
    if (p.key) keys.push_back(&p);
  if (keys.empty()) return std::wstring();
  std::sort(keys.begin(), keys.end(), [](const Prop* a, const Prop* b) {
    std::wstring la, lb;
    for (wchar_t c : a->name) la += Lower(c);
    for (wchar_t c : b->name) lb += Lower(c);
    return la < lb;
  });
  std::wstring path = data.className + L".";
  for (size_t i = 0; i < keys.size(); ++i) {
    std::wstring text;
    bool bQuoted;
    if (!KeyText(keys[i]->value, &text, &bQuoted)) return std::wstring();
    if (i) path += L",";
    path += keys[i]->name + L"=" + (bQuoted ? L"\"" + EscapeKeyValue(text) + L"\"" : text);
  }
  return path;
}

// [\\server\namespace:]Class[.Key=Value[,Key=Value...] | =Value | =@]; values are "quoted" with
// \\ and \" escapes, or bare numbers.
bool ParseObjectPath(const std::wstring& text, ObjectPath* pPath) {
  ObjectPath path;
  std::wstring rest = text;
  // The namespace part ends at the first colon outside a quoted value.
  bool bInQuote = false;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == L'"' && (i == 0 || rest[i - 1] != L'\\')) bInQuote = !bInQuote;
    if (!bInQuote && rest[i] == L':') {
      path.nameSpace = rest.substr(0, i);
      rest = rest.substr(i + 1);
      break;
    }
  }
  size_t i = 0;
  while (i < rest.size() && (iswalnum(rest[i]) || rest[i] == L'_')) ++i;
  path.className = rest.substr(0, i);
  if (path.className.empty()) return false;
  if (i == rest.size()) {
    *pPath = path;
    return true;
  }
  path.hasKeys = true;
  if (rest[i] == L'=') {
    // Class=Value: the class's one key, unnamed; Class=@ a singleton.
    if (rest.substr(i + 1) == L"@") {
      *pPath = path;
      return true;
    }
  } else if (rest[i] != L'.') {
    return false;
  } else {
    ++i;
  }
  while (i < rest.size()) {
    std::wstring name;
    if (rest[i] != L'=') {
      size_t start = i;
      while (i < rest.size() && (iswalnum(rest[i]) || rest[i] == L'_')) ++i;
      name = rest.substr(start, i - start);
      if (name.empty() || i >= rest.size() || rest[i] != L'=') return false;
    }
    ++i;  // '='
    std::wstring value;
    if (i < rest.size() && rest[i] == L'"') {
      ++i;
      bool bClosed = false;
      while (i < rest.size()) {
        wchar_t c = rest[i++];
        if (c == L'\\' && i < rest.size()) {
          value += rest[i++];
        } else if (c == L'"') {
          bClosed = true;
          break;
        } else {
          value += c;
        }
      }
      if (!bClosed) return false;
    } else {
      size_t start = i;
      while (i < rest.size() && rest[i] != L',') ++i;
      value = rest.substr(start, i - start);
      if (value.empty()) return false;
    }
    path.keys.emplace_back(name, value);
    if (i == rest.size()) break;
    if (rest[i] != L',') return false;
    ++i;
  }
  if (path.keys.empty()) return false;
  *pPath = path;
  return true;
}

namespace {

bool TypeFits(CIMTYPE type, VARTYPE vt) {
  if (vt == VT_NULL || vt == VT_EMPTY) return true;
  if (type & CIM_FLAG_ARRAY) {
    if (!(vt & VT_ARRAY)) return false;
    VARTYPE elem = vt & ~VT_ARRAY;
    switch (type & ~CIM_FLAG_ARRAY) {
      case CIM_UINT8: case CIM_SINT8: return elem == VT_UI1 || elem == VT_I1;
      case CIM_STRING: case CIM_DATETIME: return elem == VT_BSTR;
      case CIM_OBJECT: return elem == VT_UNKNOWN;
      default: return elem == VT_I4 || elem == VT_I2 || elem == VT_UI1;
    }
  }
  switch (type) {
    case CIM_SINT8: case CIM_UINT8: case CIM_SINT16: case CIM_UINT16: case CIM_SINT32: case CIM_UINT32:
      return vt == VT_I4 || vt == VT_I2 || vt == VT_UI1 || vt == VT_UI4 || vt == VT_I1 || vt == VT_UI2;
    case CIM_SINT64: case CIM_UINT64: case CIM_STRING: case CIM_DATETIME: case CIM_REFERENCE:
      return vt == VT_BSTR;
    case CIM_BOOLEAN: return vt == VT_BOOL;
    case CIM_REAL32: return vt == VT_R4;
    case CIM_REAL64: return vt == VT_R8;
    case CIM_OBJECT: return vt == VT_UNKNOWN;
    case CIM_CHAR16: return vt == VT_I2;
    default: return false;
  }
}

CIMTYPE TypeOfVariant(VARTYPE vt) {
  if (vt & VT_ARRAY) return TypeOfVariant(vt & ~VT_ARRAY) | CIM_FLAG_ARRAY;
  switch (vt) {
    case VT_BSTR: return CIM_STRING;
    case VT_I4: return CIM_SINT32;
    case VT_UI1: return CIM_UINT8;
    case VT_I2: return CIM_SINT16;
    case VT_BOOL: return CIM_BOOLEAN;
    case VT_UNKNOWN: return CIM_OBJECT;
    default: return CIM_EMPTY;
  }
}

// A copy in which embedded objects are copied too, so that no two objects share one.
Value DeepCopy(const Value& value) {
  const VARIANT& v = value.Variant();
  if (v.vt != VT_UNKNOWN || !v.punkVal) return value;
  ObjectData inner;
  if (!DataOf(static_cast<IWbemClassObject*>(v.punkVal), &inner)) return value;
  IWbemClassObject* pCopy = MakeObject(CloneData(inner));
  Value out = Value::Object(pCopy);
  pCopy->Release();
  return out;
}

class ClassObject : public ksim::detail::ComObject<IWbemClassObject> {
 public:
  explicit ClassObject(ObjectData data)
      : ComObject("IWbemClassObject", IID_IWbemClassObject), m_data(std::move(data)) {}

  ObjectData Snapshot() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_data;
  }

  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) override {
    if (auto f = ksim::detail::Enter("IWbemClassObject::Get", ksim::detail::Selector(wszName)))
      return static_cast<HRESULT>(f->result);
    if (!wszName || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_lock);
    std::wstring name = wszName;
    Value value;
    CIMTYPE type;
    if (!SystemProperty(name, &value, &type)) {
      const Prop* p = m_data.Find(name);
      if (!p) return WBEM_E_NOT_FOUND;
      value = p->value;
      type = p->type;
    }
    // The value is written over what the variant held, as WMI does: the caller clears first.
    if (pVal) {
      VariantInit(pVal);
      HRESULT hr = CopyVariant(pVal, &value.Variant());
      if (FAILED(hr)) return WBEM_E_OUT_OF_MEMORY;
    }
    if (pType) *pType = type;
    if (plFlavor) *plFlavor = name.compare(0, 2, L"__") == 0 ? LONG(WBEM_FLAVOR_ORIGIN_SYSTEM) : LONG(WBEM_FLAVOR_ORIGIN_LOCAL);
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE Put(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE Type) override {
    if (auto f = ksim::detail::Enter("IWbemClassObject::Put", ksim::detail::Selector(wszName)))
      return static_cast<HRESULT>(f->result);
    if (!wszName || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    std::wstring name = wszName;
    if (name.compare(0, 2, L"__") == 0) return WBEM_E_READ_ONLY;
    VARTYPE vt = pVal ? pVal->vt : static_cast<VARTYPE>(VT_NULL);
    std::lock_guard<std::mutex> guard(m_lock);
    Prop* p = m_data.Find(name);
    if (!p) {
      // Only a class definition gains properties.
      if (!m_data.isClass) return WBEM_E_NOT_FOUND;
      CIMTYPE type = Type ? Type : TypeOfVariant(vt);
      if (type == CIM_EMPTY || !TypeFits(type, vt)) return WBEM_E_TYPE_MISMATCH;
      m_data.props.push_back(Prop{name, type, false, Value()});
      p = &m_data.props.back();
    } else if ((Type && Type != p->type) || !TypeFits(p->type, vt)) {
      return WBEM_E_TYPE_MISMATCH;
    }
    if (pVal && vt != VT_EMPTY) {
      Value v(*pVal);
      // Integers of every width are held as VT_I4, as WMI hands them out.
      if (v.Type() == VT_I2 || v.Type() == VT_UI1 || v.Type() == VT_UI4 || v.Type() == VT_I1 || v.Type() == VT_UI2) {
        LONG l = vt == VT_I2 ? pVal->iVal : vt == VT_UI1 ? pVal->bVal : vt == VT_I1 ? pVal->cVal
                 : vt == VT_UI2 ? pVal->uiVal : static_cast<LONG>(pVal->ulVal);
        v = Value::I4(l);
      }
      p->value = v;
    } else {
      p->value = Value();
    }
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EndEnumeration() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** ppCopy) override {
    if (!ppCopy) return WBEM_E_INVALID_PARAMETER;
    *ppCopy = nullptr;
    if (auto f = ksim::detail::Enter("IWbemClassObject::Clone", ksim::detail::Selector(m_data.className.c_str())))
      return static_cast<HRESULT>(f->result);
    *ppCopy = MakeObject(CloneData(Snapshot()));
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG lFlags, IWbemClassObject** ppNewInstance) override {
    if (!ppNewInstance) return WBEM_E_INVALID_PARAMETER;
    *ppNewInstance = nullptr;
    if (auto f = ksim::detail::Enter("IWbemClassObject::SpawnInstance", ksim::detail::Selector(m_data.className.c_str())))
      return static_cast<HRESULT>(f->result);
    if (lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    ObjectData inst = Snapshot();
    if (!inst.isClass) return WBEM_E_INVALID_OPERATION;
    inst.isClass = false;
    inst.methods.clear();
    *ppNewInstance = MakeObject(CloneData(inst));
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR strAncestor) override {
    if (!strAncestor) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<RepositoryMutex> repo(RepositoryLock());
    return IsaLocked(m_data.nameSpace, m_data.className, strAncestor) && !NameEq(strAncestor, m_data.className)
               ? WBEM_S_NO_ERROR
               : WBEM_S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject** ppInSignature,
                                      IWbemClassObject** ppOutSignature) override {
    if (ppInSignature) *ppInSignature = nullptr;
    if (ppOutSignature) *ppOutSignature = nullptr;
    if (auto f = ksim::detail::Enter("IWbemClassObject::GetMethod", ksim::detail::Selector(wszName)))
      return static_cast<HRESULT>(f->result);
    if (!wszName || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    ObjectData data = Snapshot();
    if (!data.isClass) return WBEM_E_ILLEGAL_OPERATION;
    for (const MethodDef& m : data.methods) {
      if (!NameEq(wszName, m.name)) continue;
      if (ppInSignature && !m.in.empty()) *ppInSignature = MakeObject(Signature(data.nameSpace, m.in));
      if (ppOutSignature && !m.out.empty()) *ppOutSignature = MakeObject(Signature(data.nameSpace, m.out));
      return WBEM_S_NO_ERROR;
    }
    return WBEM_E_NOT_FOUND;
  }

  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }

 private:
  static ObjectData Signature(const std::wstring& ns, const std::vector<PropertyDef>& params) {
    ObjectData sig;
    sig.nameSpace = ns;
    sig.className = L"__PARAMETERS";
    sig.isClass = true;
    for (const PropertyDef& d : params) sig.props.push_back(Prop{d.name, d.type, false, Value()});
    return sig;
  }

  // The system properties; m_lock is held.
  bool SystemProperty(const std::wstring& name, Value* pValue, CIMTYPE* pType) {
    if (name.compare(0, 2, L"__") != 0) return false;
    *pType = CIM_STRING;
    std::wstring relPath = RelPath(m_data);
    auto str = [&](const std::wstring& s) { *pValue = s.empty() ? Value() : Value::Str(s); };
    if (NameEq(name, L"__CLASS")) {
      str(m_data.className);
    } else if (NameEq(name, L"__RELPATH")) {
      str(relPath);
    } else if (NameEq(name, L"__PATH")) {
      str(relPath.empty() ? std::wstring() : L"\\\\KSIMHOST\\" + m_data.nameSpace + L":" + relPath);
    } else if (NameEq(name, L"__NAMESPACE")) {
      str(m_data.nameSpace);
    } else if (NameEq(name, L"__SERVER")) {
      str(L"KSIMHOST");
    } else if (NameEq(name, L"__SUPERCLASS")) {
      str(m_data.superclass);
    } else if (NameEq(name, L"__GENUS")) {
      *pValue = Value::I4(m_data.isClass ? WBEM_GENUS_CLASS : WBEM_GENUS_INSTANCE);
      *pType = CIM_SINT32;
    } else if (NameEq(name, L"__PROPERTY_COUNT")) {
      *pValue = Value::I4(static_cast<LONG>(m_data.props.size()));
      *pType = CIM_SINT32;
    } else {
      return false;
    }
    return true;
  }

  std::mutex m_lock;
  ObjectData m_data;
};

}  // namespace

IWbemClassObject* MakeObject(const ObjectData& data) { return new ClassObject(data); }

ObjectData CloneData(const ObjectData& data) {
  ObjectData copy = data;
  for (Prop& p : copy.props) p.value = DeepCopy(p.value);
  return copy;
}

bool DataOf(IWbemClassObject* pObject, ObjectData* pData) {
  auto* p = dynamic_cast<ClassObject*>(pObject);
  if (!p) return false;
  *pData = p->Snapshot();
  return true;
}

}  // namespace ksim::wmi::detail
