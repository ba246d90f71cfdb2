" vim -Nu NONE -i NONE -es -S tests/editors/highlight.vim, from the top folder: the Vim syntax
" file against grammar.cas's annotations, the tool's tables of mnemonics and directives, an example.
set runtimepath^=editors/vim hidden
filetype on
syntax on
let [s:failed, s:checked] = [[], 0]
function s:Check(line, col, want) abort
  let [s:checked, got] = [s:checked + 1, synIDattr(synID(a:line, a:col, 1), 'name')]
  if got !=# a:want
    call add(s:failed, printf('%s:%d:%d: %s, expected %s', expand('%'), a:line, a:col, got, a:want))
  endif
endfunction
" The Vim group of each TextMate scope; the invalid.* ones are all casError.
let s:group = {'keyword.control.directive': 'casDirective', 'support.function.mnemonic': 'casMnemonic',
      \ 'entity.name.label': 'casLabel', 'variable.other': 'casIdentifier', 'entity.name.type': 'casType',
      \ 'entity.name.type.array': 'casType', 'storage.modifier': 'casModifier', 'constant.language': 'casConstant',
      \ 'constant.numeric.integer': 'casNumber', 'constant.numeric.float': 'casFloat',
      \ 'string.quoted.double': 'casString', 'constant.character.escape': 'casEscape',
      \ 'invalid.illegal.unknown-escape': 'casBadEscape', 'comment.line.semicolon': 'casComment',
      \ 'keyword.other.line-record': 'casLineRecord', 'constant.numeric.integer.line-number': 'casLineNumber'}
edit tests/editors/grammar.cas
for s:n in range(2, line('$'))
  let s:parts = matchlist(getline(s:n), '^;\( *\)\(\^\+\) \(\S\+\)\.cas')
  if empty(s:parts)
    let s:source = s:n
  endif
  for s:col in empty(s:parts) ? [] : range(len(s:parts[1]) + 2, len(s:parts[1]) + len(s:parts[2]) + 1)
    call s:Check(s:source, s:col, get(s:group, s:parts[3], s:parts[3] =~# '^invalid\.' ? 'casError' : '?'))
  endfor
endfor
" Every mnemonic and directive of the tool's own tables, in upper case, in both files.
let s:words = {'casMnemonic': [], 'casDirective': ['.ENDCODE']}
for s:l in readfile('HxScript/HxScriptOpcodes.cpp') + readfile('tool/AssemblyLoader.cpp')
  call substitute(s:l, '{\d\+, "\(\w\+\)", "', '\=add(s:words.casMnemonic, toupper(submatch(1)))', 'g')
  call substitute(s:l, 'Row("\(\.\w\+\)"', '\=add(s:words.casDirective, submatch(1))', 'g')
endfor
call filter(s:words.casMnemonic, 'v:val !=# "INVALID"')
let s:grammar = json_decode(join(readfile('editors/vscode/syntaxes/corvel-assembly.tmLanguage.json'))).repository
let s:listed = {'casMnemonic': s:grammar.mnemonic.match, 'casDirective': join(map(
      \ s:grammar.directive.patterns[0:2], {_, p -> matchstr(p.begin, '(?:\zs[A-Za-z|]\+')}), '|')}
for [s:kind, s:list] in items(s:words)
  enew
  setlocal filetype=cas
  call setline(1, s:list)
  let s:in_grammar = split(tolower(matchstr(s:listed[s:kind], '[A-Za-z|]\{20,}')), '|')
  for s:n in range(1, len(s:list))
    call s:Check(s:n, 2, s:kind)
    let s:checked += 1
    if index(s:in_grammar, tolower(trim(s:list[s:n - 1], '.'))) < 0
      call add(s:failed, s:list[s:n - 1] . ' is missing from the TextMate grammar')
    endif
  endfor
endfor
edit examples/Hello.cas
call s:Check(search('^\.info'), 1, &filetype ==# 'cas' ? 'casDirective' : 'file type ' . &filetype)
call s:Check(search('CallStatic'), col('.'), 'casMnemonic')
call s:Check(search('"Hello"'), col('.') + 1, 'casString')
call s:Check(search('^\s*\zsloop:'), col('.'), 'casLabel')
call writefile(s:failed + [printf('vim: %d passed, %d failed', s:checked - len(s:failed), len(s:failed))], '/dev/stdout')
execute empty(s:failed) ? 'qall!' : 'cquit'
