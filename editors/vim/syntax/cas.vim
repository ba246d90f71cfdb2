" Vim syntax file
" Language:   Corvel assembly text (.cas), as CorvelAssembler reads and writes it
" Install:    copy syntax/cas.vim and ftdetect/cas.vim into ~/.vim (or the
"             first folder of 'runtimepath'), or add editors/vim to it.
"
" The groups match the scopes of editors/vscode's TextMate grammar, so that
" both colour the same things. Tokens are separated by blanks; a double
" quote starts a string, a semicolon outside one a comment.

if exists('b:current_syntax')
  finish
endif
let s:cpo_save = &cpo
set cpo&vim

syn case ignore

" Operands and arguments. Where several items match at one place the one
" defined last wins, so the general ones come first.
syn match casError      /\v%([^ \t"])@1<![^ \t;"]+/
syn match casIdentifier /\v%([^ \t"])@1<![A-Za-z_:][A-Za-z0-9_:#]*%([^ \t;"])@!/
syn match casType       /\v%([^ \t"])@1<![A-Za-z_:][A-Za-z0-9_:#]*\[\]%([^ \t;"])@!/
syn match casNumber     /\v%([^ \t"])@1<![+-]?\d+%([^ \t;"])@!/
syn match casFloat      /\v%([^ \t"])@1<![+-]?\d+\.\d+%([eE][+-]?\d+)?%([^ \t;"])@!/
syn match casConstant   /\v%([^ \t"])@1<!%(true|false|none)%([^ \t;"])@!/

" The type of .variable, .property, .param, .local (after the name) and .return.
syn match casType       /\v%(^[ \t]*\.%(variable|property|param|local)[ \t]+[^ \t;"]+[ \t]+)@<=[A-Za-z_:][A-Za-z0-9_:#]*%(\[\])?%([^ \t;"])@!/
syn match casType       /\v%(^[ \t]*\.return[ \t]+)@<=[A-Za-z_:][A-Za-z0-9_:#]*%(\[\])?%([^ \t;"])@!/
" Flags after a directive's first argument: .object X const, .function F native static, ...
syn match casModifier   /\v%(^[ \t]*\.[^ \t;"]+[ \t]+[^ \t;"]+[ \t].*)@<=%([^ \t"])@1<!%(auto|const|native|static)%([^ \t;"])@!/
" The last operand of a jump is its target label.
syn match casLabel      /\v%(^[ \t]*jump[tf]?[ \t].*)@<=%([^ \t"])@1<![A-Za-z_:][A-Za-z0-9_:#]*\ze[ \t]*%(;.*)?$/

" The first token of a line: a directive, a mnemonic or a label; anything
" else there is an error.
syn match casError      /\v^[ \t]*\zs[^ \t;"]+/
syn match casMnemonic   /\v^[ \t]*\zs%(Noop|IAdd|FAdd|ISubtract|FSubtract|IMultiply|FMultiply|IDivide|FDivide
              \|IMod|Not|INegate|FNegate|Assign|Cast|CompareEQ|CompareLT|CompareLTE
              \|CompareGT|CompareGTE|Jump|JumpT|JumpF|CallMethod|CallParent
              \|CallStatic|Return|StrCat|PropGet|PropSet|ArrayCreate|ArrayLength
              \|ArrayGetElement|ArraySetElement|ArrayFindElement|ArrayRFindElement|Is
              \|StructCreate|StructGet|StructSet|ArrayFindStruct|ArrayRFindStruct
              \|ArrayAddElements|ArrayInsertElement|ArrayRemoveLastElement
              \|ArrayRemoveElements|ArrayClearElements)%([^ \t;"])@!/
syn match casDirective  /\v^[ \t]*\zs\.%(info|source|modifyTime|compileTime|user|computer|endInfo|userFlagsRef
              \|flag|endUserFlagsRef|objectTable|object|userFlags|docString|autoState
              \|structTable|struct|endStruct|endStructTable|variableTable
              \|initialValue|endVariable|endVariableTable|propertyTable|autoVar
              \|endProperty|endPropertyTable|propertyGroupTable|propertyGroup
              \|endPropertyGroup|endPropertyGroupTable|stateTable|state|endState
              \|endStateTable|function|paramTable|endParamTable|localTable
              \|endLocalTable|code|endFunction|endObject|endObjectTable|endCode
              \|variable|property|param|local|return)%([^ \t;"])@!/
syn match casLabel      /\v^[ \t]*\zs[^ \t;"]+:\ze[ \t]*%(;|$)/

" Strings keep to one line; an unclosed one runs to its end.
syn region casString    start=/"/ skip=/\\./ end=/"/ end=/$/ contains=casEscape,casBadEscape
syn match casEscape     contained /\\["\\nt]/
syn match casBadEscape  contained /\\[^"\\nt]/

" Comments, and ;@line N, which gives an instruction's source line.
syn match casComment    /;.*$/
syn match casComment    contained /\S.*$/
syn match casLineRecord /;@line\ze[ \t]/ nextgroup=casLineNumber,casComment skipwhite
syn match casLineNumber contained /[+-]\=\d\+/ nextgroup=casComment skipwhite

hi def link casComment    Comment
hi def link casLineRecord PreProc
hi def link casLineNumber Number
hi def link casDirective  Statement
hi def link casMnemonic   Function
hi def link casLabel      Label
hi def link casIdentifier Identifier
hi def link casType       Type
hi def link casModifier   StorageClass
hi def link casNumber     Number
hi def link casFloat      Float
hi def link casConstant   Boolean
hi def link casString     String
hi def link casEscape     SpecialChar
hi def link casBadEscape  Error
hi def link casError      Error

let b:current_syntax = 'cas'
let &cpo = s:cpo_save
unlet s:cpo_save
