#include "output/DisassemblerProcessor.h"

#include "HxScript/HxScriptUnlinkedTypes.h"
#include "hxcore/HxAssert.h"
#include "hxcore/HxTArray.h"
#include "hxcore/HxTScatterTable.h"
#include "output/AnalysisReport.h"
#include "output/DisassemblyFunctors.h"
#include "output/DisassemblyText.h"

namespace CodeGen {

namespace {

using HxScript::Severity;
using HxScript::UnlinkedTypes::Function;
using HxScript::UnlinkedTypes::FunctionDebugInfo;
using HxScript::UnlinkedTypes::FunctionKind;
using HxScript::UnlinkedTypes::Object;
using HxScript::UnlinkedTypes::Property;
using HxScript::UnlinkedTypes::PropertyGroup;
using HxScript::UnlinkedTypes::State;
using HxScript::UnlinkedTypes::Struct;
using HxScript::UnlinkedTypes::Value;
using HxScript::UnlinkedTypes::Variable;

// Depth of the entries of the object's tables, and of the functions inside
// states and properties.
constexpr uint32_t kEntryDepth = 3;
constexpr uint32_t kFunctionDepth = kEntryDepth + 1;

void Indent(TextBuffer& text, uint32_t depth) { text.AppendRepeated('\t', depth); }

void AppendUserFlags(TextBuffer& text, uint32_t depth, uint32_t flags) {
    Indent(text, depth);
    text.Append("\t.userFlags ");
    text.AppendUnsigned(flags);
    text.Append("\t; Flags: 0x");
    text.AppendHex8(flags);
    text.AppendChar('\n');
}

void AppendDocString(TextBuffer& text, uint32_t depth, const HxFixedString& docString) {
    Indent(text, depth);
    text.Append("\t.docString ");
    EscapeString(docString, text);
    text.AppendChar('\n');
}

// Writes one loaded object as assembly text. Every block is assembled in
// memory and written with one line write; the first failed write is reported
// and ends the writing.
class ObjectTextWriter {
public:
    ObjectTextWriter(HxScript::ErrorLogger* logger, IOutput& output, const Object& object)
        : logger_(logger), output_(output), object_(object) {}

    bool WriteInfoBlock();
    bool WriteUserFlagBlock();
    bool WriteObjectBlock();

private:
    void Fail(const char* message) {
        logger_->PostFileError(HxScript::TextMessage(message), output_.GetFileName().text(), Severity::Fatal);
    }
    // Writes the gathered text as one line write; false on failure.
    bool Flush() { return WriteLine(output_, text_); }

    bool WriteStruct(const HxFixedString& name, const Struct& record);
    bool WriteVariable(const HxFixedString& name, const Variable& variable, const Value& initialValue,
                       const HxFixedString* docString, uint32_t depth);
    bool WriteProperty(const HxFixedString& name, const Property& property);
    bool WritePropertyGroup(const PropertyGroup& group);
    bool WriteState(const HxFixedString& name, const State& state, bool isEmptyState);
    bool WriteFunction(const char* name, const Function& function, const FunctionDebugInfo* debugInfo,
                       uint32_t depth);
    bool WriteCode(const Function& function, const FunctionDebugInfo* debugInfo, uint32_t depth);

    // The object's line-number record of a function: what
    // Object::FindFunctionDebugInfo answers for this object, the first match
    // in list order, but through an index by function name built on first
    // use, since a linear search per function is quadratic in their number.
    const FunctionDebugInfo* FindDebugInfo(FunctionKind kind, const HxFixedString& stateName,
                                           const HxFixedString& functionName);

    HxScript::ErrorLogger* logger_;
    IOutput& output_;
    const Object& object_;
    TextBuffer text_;
    CodeLabels labels_;
    HxTArray<CodeTextWriter::TextRef> codeTexts_;  // the texts of the object's code names
    bool textsLookedUp_ = false;

    bool debugIndexBuilt_ = false;
    HxTScatterTable<HxFixedString, uint32_t> firstDebugByName_;  // first record of each function name
    HxTArray<uint32_t> nextDebugOfName_;                           // next record of the same name
};

const FunctionDebugInfo* ObjectTextWriter::FindDebugInfo(FunctionKind kind, const HxFixedString& stateName,
                                                         const HxFixedString& functionName) {
    if (!object_.hasDebugInfo) return nullptr;
    const HxTArray<FunctionDebugInfo>& records = object_.debugInfo.functionDebugInfos;
    if (!debugIndexBuilt_) {
        debugIndexBuilt_ = true;
        HX_CHECK(nextDebugOfName_.Resize(records.Size()), "Out of memory");
        // Backwards, so that every chain runs in list order.
        for (uint32_t i = records.Size(); i-- > 0;) {
            const uint32_t* first = firstDebugByName_.Find(records[i].functionName);
            nextDebugOfName_[i] = first != nullptr ? *first : kHxInvalidIndex;
            HX_CHECK(firstDebugByName_.Insert(records[i].functionName, i), "Out of memory");
        }
    }
    const uint32_t* first = firstDebugByName_.Find(functionName);
    for (uint32_t i = first != nullptr ? *first : kHxInvalidIndex; i != kHxInvalidIndex; i = nextDebugOfName_[i]) {
        const FunctionDebugInfo& info = records[i];
        if (info.functionKind == kind && info.objectName == object_.name && info.stateName == stateName) return &info;
    }
    return nullptr;
}

bool ObjectTextWriter::WriteInfoBlock() {
    text_.Clear();
    text_.Append(".info\n\t.source ");
    EscapeString(object_.sourceFileName, text_);
    text_.AppendChar('\n');
    if (object_.hasDebugInfo) {
        text_.AppendF("\t.modifyTime %lld ;", static_cast<long long>(object_.debugInfo.modifyTime));
        FormatTime(object_.debugInfo.modifyTime, text_);
        text_.Append(" Local\n");
    } else {
        text_.Append("\t.modifyTime 0 ;Debug info: No\n");
    }
    text_.AppendF("\t.compileTime %lld ;", static_cast<long long>(object_.compileTime));
    FormatTime(object_.compileTime, text_);
    text_.Append(" Local\n\t.user ");
    EscapeString(object_.userName, text_);
    text_.Append("\n\t.computer ");
    EscapeString(object_.computerName, text_);
    text_.Append("\n.endInfo\n");
    if (Flush()) return true;
    Fail("Error writing header");
    return false;
}

bool ObjectTextWriter::WriteUserFlagBlock() {
    text_.Clear();
    text_.Append(".userFlagsRef\n");
    for (const auto& flag : object_.userFlagTable) {
        unsigned index = flag.value;
        text_.Append("\t.flag ");
        text_.Append(flag.key.text());
        text_.AppendChar(' ');
        text_.AppendSigned(static_cast<int>(index));
        text_.Append("\t; 0x");
        text_.AppendHex8(index);
        text_.AppendChar('\n');
    }
    text_.Append(".endUserFlagsRef\n");
    if (Flush()) return true;
    Fail("Error writing user flag info");
    return false;
}

bool ObjectTextWriter::WriteObjectBlock() {
    auto flushChunk = [this]() {
        if (Flush()) return true;
        Fail("Error writing class chunk");
        return false;
    };

    text_.Clear();
    text_.AppendF(".objectTable\n\t.object %s %s%s\n", object_.name.text(), object_.parentName.text(),
                  object_.isConst ? " const" : "");
    AppendUserFlags(text_, 1, object_.userFlags);
    AppendDocString(text_, 1, object_.docString);
    text_.AppendF("\t\t.autoState %s\n\t\t.structTable\n", object_.autoStateName.text());
    if (!flushChunk()) return false;
    for (const auto& entry : object_.structs) {
        if (!WriteStruct(entry.key, entry.value)) return false;
    }

    text_.Clear();
    text_.Append("\t\t.endStructTable\n\t\t.variableTable\n");
    if (!flushChunk()) return false;
    const Value none{};
    for (const auto& entry : object_.variables) {
        const Value* initial = object_.initialValues.Find(entry.key);
        if (!WriteVariable(entry.key, entry.value, initial ? *initial : none, nullptr, kEntryDepth)) return false;
    }

    text_.Clear();
    text_.Append("\t\t.endVariableTable\n\t\t.propertyTable\n");
    if (!flushChunk()) return false;
    for (const auto& entry : object_.properties) {
        if (!WriteProperty(entry.key, entry.value)) return false;
    }

    text_.Clear();
    text_.Append("\t\t.endPropertyTable\n\t\t.propertyGroupTable\n");
    if (!flushChunk()) return false;
    if (object_.hasDebugInfo) {
        for (const PropertyGroup& group : object_.debugInfo.propertyGroups) {
            if (!WritePropertyGroup(group)) return false;
        }
    }

    text_.Clear();
    text_.Append("\t\t.endPropertyGroupTable\n\t\t.stateTable\n");
    if (!flushChunk()) return false;
    if (!WriteState(HxFixedString(), object_.emptyState, true)) return false;
    for (const auto& entry : object_.states) {
        if (!WriteState(entry.key, entry.value, false)) return false;
    }

    text_.Clear();
    text_.Append("\t\t.endStateTable\n\t.endObject\n.endObjectTable\n");
    return flushChunk();
}

bool ObjectTextWriter::WriteStruct(const HxFixedString& name, const Struct& record) {
    text_.Clear();
    Indent(text_, kEntryDepth);
    text_.Append(".struct ");
    text_.Append(name.text());
    text_.AppendChar('\n');
    if (!Flush()) {
        Fail("Error writing struct");
        return false;
    }

    const Value none{};
    const HxFixedString noDocString;
    auto writeMember = [&](const HxFixedString& member, const Variable& variable) {
        const Value* initial = record.initialValues.Find(member);
        const HxFixedString* doc = record.variableDocStrings.Find(member);
        return WriteVariable(member, variable, initial ? *initial : none, doc ? doc : &noDocString,
                             kEntryDepth + 1);
    };

    // Members in declaration order when the debug information has it, then
    // whatever the order record does not list.
    HxTScatterTable<HxFixedString, bool> written;
    const HxScript::UnlinkedTypes::StructOrder* order = object_.hasDebugInfo ? object_.FindStructOrder(name) : nullptr;
    if (order != nullptr) {
        for (const HxFixedString& member : order->variableNames) {
            written.Insert(member, true);
            const Variable* variable = record.variables.Find(member);
            if (variable == nullptr) {
                logger_->PostFileErrorF(output_.GetFileName().text(), Severity::Error,
                                        "Struct order information for %s lists variable named %s but struct "
                                        "does not contain a variable with that name",
                                        name.text(), member.text());
                return false;
            }
            if (!writeMember(member, *variable)) return false;
        }
    }
    for (const auto& entry : record.variables) {
        if (written.Contains(entry.key)) continue;
        if (!writeMember(entry.key, entry.value)) return false;
    }

    text_.Clear();
    Indent(text_, kEntryDepth);
    text_.Append(".endStruct\n");
    if (Flush()) return true;
    Fail("Error writing struct");
    return false;
}

bool ObjectTextWriter::WriteVariable(const HxFixedString& name, const Variable& variable, const Value& initialValue,
                                     const HxFixedString* docString, uint32_t depth) {
    text_.Clear();
    Indent(text_, depth);
    text_.Append(".variable ");
    text_.Append(name.text());
    text_.AppendChar(' ');
    text_.Append(variable.typeName.text());
    text_.Append(variable.isConst ? " const\n" : "\n");
    AppendUserFlags(text_, depth, variable.userFlags);
    Indent(text_, depth);
    text_.Append("\t.initialValue ");
    FormatValue(initialValue, text_);
    text_.AppendChar('\n');
    if (docString != nullptr) AppendDocString(text_, depth, *docString);
    Indent(text_, depth);
    text_.Append(".endVariable\n");
    if (Flush()) return true;
    Fail("Error writing variable");
    return false;
}

bool ObjectTextWriter::WriteProperty(const HxFixedString& name, const Property& property) {
    bool isAuto = property.IsAuto();
    text_.Clear();
    Indent(text_, kEntryDepth);
    // A property that is not auto keeps the blank before the missing flag.
    text_.Append(".property ");
    text_.Append(name.text());
    text_.AppendChar(' ');
    text_.Append(property.typeName.text());
    text_.Append(isAuto ? " auto\n" : " \n");
    AppendUserFlags(text_, kEntryDepth, property.userFlags);
    AppendDocString(text_, kEntryDepth, property.docString);
    if (isAuto) {
        Indent(text_, kEntryDepth);
        text_.Append("\t.autoVar ");
        text_.Append(property.autoVarName.text());
        text_.AppendChar('\n');
    }
    if (!Flush()) {
        Fail("Error writing property");
        return false;
    }

    const HxFixedString noState;
    if (property.getFunction) {
        const FunctionDebugInfo* lines = FindDebugInfo(FunctionKind::Getter, noState, name);
        if (!WriteFunction("get", *property.getFunction, lines, kFunctionDepth)) return false;
    }
    if (property.setFunction) {
        const FunctionDebugInfo* lines = FindDebugInfo(FunctionKind::Setter, noState, name);
        if (!WriteFunction("set", *property.setFunction, lines, kFunctionDepth)) return false;
    }

    text_.Clear();
    Indent(text_, kEntryDepth);
    text_.Append(".endProperty");
    if (Flush()) return true;
    Fail("Error writing property");
    return false;
}

bool ObjectTextWriter::WritePropertyGroup(const PropertyGroup& group) {
    text_.Clear();
    Indent(text_, kEntryDepth);
    text_.Append(".propertyGroup ");
    text_.Append(group.name.text());
    text_.AppendChar('\n');
    AppendUserFlags(text_, kEntryDepth, group.userFlags);
    Indent(text_, kEntryDepth);
    text_.Append("\t.docString ");
    EscapeString(group.docString, text_);
    if (!Flush()) {
        Fail("Error writing property group block");
        return false;
    }
    for (const HxFixedString& property : group.propertyNames) {
        text_.Clear();
        Indent(text_, kEntryDepth);
        text_.Append("\t.property ");
        text_.Append(property.text());
        if (!Flush()) {
            Fail("Error writing property group property entry");
            return false;
        }
    }
    text_.Clear();
    Indent(text_, kEntryDepth);
    text_.Append(".endPropertyGroup");
    if (Flush()) return true;
    Fail("Error writing property group end directive");
    return false;
}

bool ObjectTextWriter::WriteState(const HxFixedString& name, const State& state, bool isEmptyState) {
    text_.Clear();
    Indent(text_, kEntryDepth);
    // The empty state's line ends in a blank.
    text_.Append(".state ");
    text_.Append(name.text());
    if (!Flush()) {
        Fail("Error writing state begin directive");
        return false;
    }

    auto writeFunctions = [&](const HxTOrderedMap<HxFixedString, Function>& functions) {
        for (const auto& entry : functions) {
            const FunctionDebugInfo* lines = FindDebugInfo(FunctionKind::Normal, name, entry.key);
            if (!WriteFunction(entry.key.text(), entry.value, lines, kFunctionDepth)) return false;
        }
        return true;
    };
    if (isEmptyState && !writeFunctions(object_.staticFunctions)) return false;
    if (!writeFunctions(state.functions)) return false;

    text_.Clear();
    Indent(text_, kEntryDepth);
    text_.Append(".endState");
    if (Flush()) return true;
    Fail("Error writing state end directive");
    return false;
}

bool ObjectTextWriter::WriteFunction(const char* name, const Function& function, const FunctionDebugInfo* debugInfo,
                                     uint32_t depth) {
    text_.Clear();
    Indent(text_, depth);
    text_.Append(".function ");
    text_.Append(name);
    if (function.isNative) text_.Append(" native");
    if (function.isStatic) text_.Append(" static");
    text_.AppendChar('\n');
    AppendUserFlags(text_, depth, function.userFlags);
    AppendDocString(text_, depth, function.docString);
    Indent(text_, depth);
    text_.Append("\t.return ");
    text_.Append(function.returnTypeName.text());
    text_.AppendChar('\n');
    Indent(text_, depth);
    text_.Append("\t.paramTable\n");
    for (const auto& param : function.params) {
        Indent(text_, depth);
        text_.Append("\t\t.param ");
        text_.Append(param.name.text());
        text_.AppendChar(' ');
        text_.Append(param.typeName.text());
        text_.AppendChar('\n');
    }
    Indent(text_, depth);
    text_.Append("\t.endParamTable\n");
    if (!Flush()) {
        Fail("Error writing function chunk");
        return false;
    }

    // Failures inside the code are reported there and do not fail the function.
    if (!function.isNative) WriteCode(function, debugInfo, depth);

    text_.Clear();
    Indent(text_, depth);
    text_.Append(".endFunction");
    if (Flush()) return true;
    Fail("Error writing function end directive");
    return false;
}

bool ObjectTextWriter::WriteCode(const Function& function, const FunctionDebugInfo* debugInfo, uint32_t depth) {
    text_.Clear();
    Indent(text_, depth);
    text_.Append("\t.localTable\n");
    for (const auto& local : function.locals) {
        Indent(text_, depth);
        text_.Append("\t\t.local ");
        text_.Append(local.name.text());
        text_.AppendChar(' ');
        text_.Append(local.typeName.text());
        text_.AppendChar('\n');
    }
    Indent(text_, depth);
    text_.Append("\t.endLocalTable\n");
    Indent(text_, depth);
    text_.Append("\t.code\n");
    bool ok = Flush();
    if (!ok) Fail("Error writing function chunk");

    // All labels are known before the first line is written, so a backward
    // jump finds its label already placed.
    const HxScript::UnlinkedTypes::InstructionStream& code = function.instructions;
    labels_.Build(code);
    if (!textsLookedUp_) {
        CodeTextWriter::LookUpTexts(object_.codeNames, codeTexts_);
        textsLookedUp_ = true;
    }
    CodeTextWriter writer(labels_, debugInfo ? &debugInfo->lineNumbers : nullptr, depth + 1, logger_, output_,
                          &object_.codeNames, codeTexts_.Data());
    if (!writer.Write(code)) {
        Fail("Error writing function code");
        ok = false;
    }

    // A jump to the end of the code has its label after the last instruction.
    const uint32_t endLabel = labels_.AtTarget(code.GetInstructionCount());
    if (endLabel != CodeLabels::kNone) {
        text_.Clear();
        Indent(text_, depth);
        text_.AppendChar('\t');
        text_.Append(labels_.Text(endLabel), labels_.Length(endLabel));
        text_.AppendChar(':');
        if (!Flush()) {
            Fail("Error writing label");
            ok = false;
        }
    }

    if (!ok) return false;
    text_.Clear();
    Indent(text_, depth);
    text_.Append("\t.endCode");
    if (Flush()) return true;
    Fail("Error writing code end directive");
    return false;
}

}  // namespace

DisassemblerProcessor::DisassemblerProcessor(HxScript::ErrorLogger* logger) : ObjectProcessorBase(logger) {}
DisassemblerProcessor::~DisassemblerProcessor() = default;

HxScript::IObjectProcessor* DisassemblerProcessor::Clone() const {
    auto* copy = new DisassemblerProcessor(logger_);
    copy->loader_ = loader_;
    return copy;
}


bool DisassemblerProcessor::Process(const HxFixedString& objectName) {
    if (!CheckWiring()) return false;

    auto model = std::make_unique<Object>();
    const bool ok = LoadAndWrite(objectName, *model);
    Done(model);
    return ok;
}

bool DisassemblerProcessor::LoadAndWrite(const HxFixedString& objectName, Object& object) {
    if (!loader_->Load(objectName.text(), object)) return false;

    if (verbose_) PrintAnalysisReport(object);

    bool ok = true;
    if (!analyze_) {
        TextBuffer outputName;
        outputName.Append(objectName);
        outputName.Append(".disassemble");
        ok = WriteOutput(outputName.CStr(), [&](IOutput& output) {
            ObjectTextWriter writer(logger_, output, object);
            return writer.WriteInfoBlock() && writer.WriteUserFlagBlock() && writer.WriteObjectBlock();
        });
    }

    return ok && logger_->GetErrorCount() == 0 && logger_->GetFatalCount() == 0;
}

}  // namespace CodeGen
