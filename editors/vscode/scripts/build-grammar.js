#!/usr/bin/env node
// Writes syntaxes/qern.tmLanguage.json. The grammar is kept here, as code, because its
// regular expressions share fragments (what a comment is, the number syntax, the unit
// names) and need comments that JSON cannot hold. After editing, run `npm run grammar`;
// `npm test` fails while the committed JSON differs from what this script builds.
'use strict';

const fs = require('fs');
const path = require('path');

// The 130 unit names of the physics family. A member matches one of them when lower-cased
// and stripped of every '_' and '-'; "atomicMassUnit" is a further spelling of dalton.
const UNITS = [
  'meter', 'kilogram', 'second', 'ampere', 'kelvin', 'mole', 'candela', 'squareMeter',
  'cubicMeter', 'meterPerSecond', 'meterPerSecondSquared', 'radianPerSecond',
  'radianPerSecondSquared', 'hertz', 'kilogramPerCubicMeter', 'kilogramMeterPerSecond',
  'newton', 'newtonMeter', 'pascal', 'joule', 'watt', 'newtonPerMeter', 'dimensionless',
  'kilogramSquareMeter', 'joulePerKilogramKelvin', 'joulePerKilogram', 'joulePerKelvin',
  'coulomb', 'volt', 'ohm', 'ohmMeter', 'farad', 'voltPerMeter', 'tesla', 'weber', 'henry',
  'dioptre', 'percentage', 'becquerel', 'gray', 'sievert', 'electronVolt', 'barn',
  'lightYear', 'parsec', 'astronomicalUnit', 'hubbleConstant', 'siemens',
  'coulombPerCubicMeter', 'coulombPerSquareMeter', 'faradPerMeter', 'henryPerMeter',
  'amperePerMeter', 'amperePerSquareMeter', 'voltPerKelvin', 'pascalSecond',
  'squareMeterPerSecond', 'newtonSecond', 'newtonPerCubicMeter', 'jouleSecond',
  'kilogramPerMole', 'cubicMeterPerKilogram', 'meterPerCubicSecond', 'lumen', 'lux',
  'lumenSecond', 'candelaPerSquareMeter', 'wattPerSteradian', 'wattPerSquareMeter',
  'wattPerMeterKelvin', 'joulePerSquareMeter', 'radian', 'steradian', 'bit', 'decibel',
  'katal', 'molePerCubicMeter', 'newtonPerMeterSquared', 'joulePerMole',
  'joulePerMoleKelvin', 'kelvinPerWatt', 'kilogramPerSecond', 'cubicMeterPerSecond',
  'inverseMeter', 'newtonPerCoulomb', 'weberPerMeter', 'teslaSquareMeter', 'arcDegree',
  'arcMinute', 'arcSecond', 'bar', 'millimeterOfMercury', 'atmosphere', 'torr', 'poise',
  'stokes', 'sverdrup', 'rayl', 'gal', 'maxwell', 'gauss', 'oersted', 'gilbert', 'franklin',
  'debye', 'angstrom', 'lambert', 'phot', 'stilb', 'kayser', 'calorie',
  'britishThermalUnit', 'langley', 'fahrenheit', 'celsius', 'rankine', 'curie', 'roentgen',
  'rutherford', 'fermi', 'dalton', 'byte', 'baud', 'erlang', 'metabolicEquivalent',
  'jansky', 'machNumber', 'knots', 'nauticalMile', 'horsepower',
];
const UNIT_SPELLINGS = [...UNITS, 'atomicMassUnit'];
const TIME_MEMBERS = ['datetime', 'duration', 'year', 'day', 'hour', 'minute'];
const MATH_MEMBERS = ['vector2', 'vector3', 'vector4', 'quaternion', 'matrix3x3', 'matrix4x4'];
const PRIMITIVES = ['i32', 'f64', 'string', 'bool', 'color'];

// A '#' is a comment only outside quotes, at the start of the line or after one of these
// ASCII blanks, and only when one of them (or the end of the line) follows it. Unicode
// blanks such as U+00A0 do not count. The tokenizer hands each line over with its "\n".
const BLANK = String.raw`[ \t\n\f\r]`;
const NOT_BLANK = String.raw`[^ \t\n\f\r]`;
// A '#' that does not start a comment: glued to the text before or after it.
const HASH_TEXT = String.raw`(?:(?<=[^ \t\f\r])#|#(?=${NOT_BLANK}))`;
// Where a value ends: at the end of the line, or where a comment begins.
const VALUE_END = String.raw`(?=\s*$|[ \t\f\r]+#(?:${BLANK}|$))`;
// Where a list item or an inline-object value ends.
const itemEnd = (closer) => String.raw`(?=\s*(?:[,${closer}]|$)|[ \t\f\r]+#(?:${BLANK}|$))`;

const NUMBER = String.raw`[+-]?(?:(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:infinity|inf|nan))`;
const BOOL = String.raw`(?i:true|false)`;
// '#' then six or eight hex digits; one '+' may follow the '#' in place of a digit.
const COLOR = String.raw`(#)(?:[0-9a-fA-F]{8}|\+[0-9a-fA-F]{7}|[0-9a-fA-F]{6}|\+[0-9a-fA-F]{5})`;
const DATETIME = String.raw`[0-9]{4}-[0-9]{2}-[0-9]{2}(?:[Tt][0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:\.[0-9]+)?)?(?:[Zz]|[+-][0-9]{2}:?[0-9]{2})?)?`;
const DURATION = String.raw`P(?=[0-9T])(?:[0-9]+(?:[.,][0-9]+)?[YMWD])*(?:T(?:[0-9]+(?:[.,][0-9]+)?[HMS])+)?`;

// The end of a type name: what may follow it in a definition, a schema body or list<...>.
const TYPE_END = String.raw`(?![^\s,>}])`;

// A unit name where any number of '_' and '-' may stand before, between and after its
// letters, matched without regard to case.
function unitPattern(name) {
  return [...name.toLowerCase()].join('[-_]*');
}
const UNIT_ALTERNATION = String.raw`(?i:[-_]*(?:${UNIT_SPELLINGS.map(unitPattern).join('|')})[-_]*)`;

// Keys. The key is the text before the first '=' that is not inside [...] or {...};
// quotes do not hide an '=', but they still hide a '#' from the comment rule, and an
// unclosed quote in the key runs on into the value. So the key is written as pieces:
// plain characters, a '#' glued to text, one level of brackets, and closed quotes.
const KEY_PIECE = [
  String.raw`[^=\[\]{}'"#\n]`,
  HASH_TEXT,
  String.raw`\[(?:[^\[\]{}'"#]|${HASH_TEXT})*\]`,
  String.raw`\{(?:[^\[\]{}'"#]|${HASH_TEXT})*\}`,
  String.raw`'[^'=\[\]{}]*'`,
  String.raw`"[^"=\[\]{}]*"`,
].join('|');
// The key of an inline-object member: up to the first ':' or '='; closed quotes may
// stand in it (an unclosed one hides the rest of the line from the comment rule).
const MEMBER_KEY_PIECE = [
  String.raw`[^\s,:={}\[\]#'"]`,
  HASH_TEXT,
  String.raw`'[^',:={}\[\]]*'`,
  String.raw`"[^",:={}\[\]]*"`,
].join('|');
// A line that is an assignment starts with neither '@' nor a comment (a '#' after a
// Unicode blank such as U+00A0 starts the key).
const LINE_START = String.raw`^\s*(?=[^\s@=])(?!(?:^|(?<=[ \t\f\r]))#(?:${BLANK}|$))`;

// A scalar that is the whole value (after '=') or the whole item (in a list or an object):
// `lead` anchors it, `end` closes it, and `captures` names its groups from 1.
const whole = (lead, regex, end, ...names) => ({
  match: String.raw`${lead}(${regex})${end}`,
  captures: Object.fromEntries(names.map((name, i) => [i + 1, { name }])),
});

// A whole value may also be a comma-separated run of numbers (a vector); an item holds one.
function scalars(lead, end, { vector = false } = {}) {
  return [
    vector
      ? {
          begin: String.raw`${lead}(?=${NUMBER}(?:\s*,\s*${NUMBER})*${end})`,
          end,
          patterns: [
            { match: NUMBER, name: 'constant.numeric.qern' },
            { match: ',', name: 'punctuation.separator.comma.qern' },
          ],
        }
      : whole(lead, NUMBER, end, 'constant.numeric.qern'),
    whole(lead, BOOL, end, 'constant.language.boolean.qern'),
    whole(lead, COLOR, end, 'constant.other.color.rgb-value.hex.qern', 'punctuation.definition.constant.qern'),
    whole(lead, DATETIME, end, 'constant.other.datetime.qern'),
    whole(lead, DURATION, end, 'constant.other.duration.qern'),
  ];
}

function quoted(quote, kind) {
  // A quote runs to the same character or to the end of the line; there are no escapes.
  return {
    begin: quote,
    end: String.raw`(${quote})|$`,
    name: `string.quoted.${kind}.qern`,
    beginCaptures: { 0: { name: 'punctuation.definition.string.begin.qern' } },
    endCaptures: { 1: { name: 'punctuation.definition.string.end.qern' } },
  };
}

// A list or an inline object. `lead` is what may stand before the opening bracket:
// nothing for a nested one, `\G` for a value that starts with it.
function list(lead) {
  return {
    begin: String.raw`${lead}(\[)`,
    end: String.raw`(\])|$`,
    name: 'meta.structure.list.qern',
    beginCaptures: { 1: { name: 'punctuation.definition.list.begin.qern' } },
    endCaptures: { 1: { name: 'punctuation.definition.list.end.qern' } },
    patterns: [{ include: '#list-item' }],
  };
}

function object(lead) {
  return {
    begin: String.raw`${lead}(\{)`,
    end: String.raw`(\})|$`,
    name: 'meta.structure.dictionary.qern',
    beginCaptures: { 1: { name: 'punctuation.definition.dictionary.begin.qern' } },
    endCaptures: { 1: { name: 'punctuation.definition.dictionary.end.qern' } },
    patterns: [{ include: '#object-member' }],
  };
}

// An assignment whose key holds an unclosed quote: the value begins inside that quote.
function assignmentOpenQuote(quote) {
  return {
    begin: String.raw`${LINE_START}((?:${KEY_PIECE})*?${quote}[^${quote}=\[\]{}]*?)\s*(=)\s*`,
    end: '$',
    beginCaptures: {
      1: { name: 'variable.other.key.qern' },
      2: { name: 'keyword.operator.assignment.qern' },
    },
    patterns: [
      {
        match: String.raw`\G[^${quote}\n]*(?:(${quote})|$)`,
        name: `string.quoted.${quote === "'" ? 'single' : 'double'}.qern`,
        captures: { 1: { name: 'punctuation.definition.string.end.qern' } },
      },
      { include: '#value' },
    ],
  };
}

function directive(name, rule) {
  return {
    begin: String.raw`^\s*((@)${name})(?=\s|$)\s*`,
    end: '$',
    name: `meta.directive.${name}.qern`,
    beginCaptures: {
      1: { name: `keyword.control.directive.${name}.qern` },
      2: { name: 'punctuation.definition.directive.qern' },
    },
    ...rule,
  };
}

// Words made of `chars`, with the blanks between them but not the blanks around them.
const words = (chars) => String.raw`(?:${chars})(?:\s*(?:${chars}))*`;

function buildGrammar() {
  return {
    $schema: 'https://raw.githubusercontent.com/martinring/tmlanguage/master/tmlanguage.json',
    name: 'QERN',
    scopeName: 'source.qern',
    fileTypes: ['qrn'],
    patterns: [
      { include: '#comment' },
      { include: '#directive' },
      { include: '#assignment' },
    ],
    repository: {
      comment: {
        match: String.raw`(?:^|(?<=[ \t\f\r]))(#)(?=${BLANK}|$).*$`,
        name: 'comment.line.number-sign.qern',
        captures: { 1: { name: 'punctuation.definition.comment.qern' } },
      },

      string: {
        patterns: [quoted('"', 'double'), quoted("'", 'single')],
      },

      directive: {
        patterns: [
          directive('import', {
            patterns: [
              { include: '#comment' },
              { include: '#string' },
              { include: '#block' },
              { match: String.raw`(?:[^\s'"#{}]|${HASH_TEXT})+`, name: 'string.unquoted.path.qern' },
            ],
          }),
          directive('type', {
            patterns: [
              {
                match: String.raw`\G(${words(String.raw`[^\s=#'"]|${HASH_TEXT}`)})?\s*(=)`,
                captures: {
                  1: { name: 'entity.name.type.qern' },
                  2: { name: 'keyword.operator.assignment.qern' },
                },
              },
              { include: '#comment' },
              { include: '#block' },
              { include: '#type' },
              { include: '#string' },
            ],
          }),
          directive('schema', {
            patterns: [
              {
                match: String.raw`\G(${words(String.raw`[^\s{#'"]|${HASH_TEXT}`)})`,
                captures: { 1: { name: 'entity.name.type.qern' } },
              },
              { include: '#comment' },
              { include: '#schema-body' },
              { include: '#string' },
            ],
          }),
          directive('derive', {
            patterns: [
              { include: '#comment' },
              // A quoted path ends at the same quote; any ':' after it are separators.
              {
                begin: String.raw`\G(")`,
                end: String.raw`(")|$`,
                name: 'string.quoted.double.qern',
                beginCaptures: { 1: { name: 'punctuation.definition.string.begin.qern' } },
                endCaptures: { 1: { name: 'punctuation.definition.string.end.qern' } },
              },
              {
                begin: String.raw`\G(')`,
                end: String.raw`(')|$`,
                name: 'string.quoted.single.qern',
                beginCaptures: { 1: { name: 'punctuation.definition.string.begin.qern' } },
                endCaptures: { 1: { name: 'punctuation.definition.string.end.qern' } },
              },
              // A bare path runs to the first '::'.
              {
                match: String.raw`\G(${words(String.raw`[^\s:'"#{}]|:(?!:)|${HASH_TEXT}`)})`,
                captures: { 1: { name: 'string.unquoted.path.qern' } },
              },
              { match: ':+', name: 'punctuation.separator.namespace.qern' },
              { include: '#string' },
              { include: '#block' },
              {
                match: String.raw`(?:[^\s:'"#{}]|${HASH_TEXT})+`,
                name: 'entity.name.type.qern',
              },
            ],
          }),
          // '@' alone, or a name that is not one of the four directives.
          {
            begin: String.raw`^\s*(@[^\s'"]*)`,
            end: '$',
            name: 'meta.directive.unknown.qern',
            beginCaptures: { 1: { name: 'invalid.illegal.unknown-directive.qern' } },
            patterns: [{ include: '#comment' }, { include: '#block' }, { include: '#string' }],
          },
        ],
      },

      // Any '@' line with more '{' than '}' goes on over the following lines until they
      // balance, and the directive gets them all as its argument.
      block: {
        begin: String.raw`\{`,
        end: String.raw`\}`,
        name: 'meta.block.qern',
        beginCaptures: { 0: { name: 'punctuation.section.block.begin.qern' } },
        endCaptures: { 0: { name: 'punctuation.section.block.end.qern' } },
        patterns: [{ include: '#comment' }, { include: '#block' }],
      },

      // The body of a schema may continue over the following lines up to its '}'.
      'schema-body': {
        begin: String.raw`\{`,
        end: String.raw`\}`,
        name: 'meta.structure.schema.qern',
        beginCaptures: { 0: { name: 'punctuation.section.block.begin.qern' } },
        endCaptures: { 0: { name: 'punctuation.section.block.end.qern' } },
        patterns: [
          { include: '#comment' },
          {
            // A field name of stars alone is empty once they are stripped.
            match: String.raw`(?<![^\s,{])(\*+)(:)`,
            captures: {
              1: { name: 'invalid.illegal.empty-field.qern' },
              2: { name: 'punctuation.separator.key-value.qern' },
            },
          },
          {
            // name, optional stars, ':' and, on the same line, the type. A name ending in
            // '::' is a qualified type that follows a field on the line before.
            match: String.raw`(?<![^\s,{])((?:[^\s,:{}#]|${HASH_TEXT})+?)(\*+)?(:)(?!:)(?:[\s,]*((?:[^\s,{}#]|${HASH_TEXT})+))?`,
            captures: {
              1: { name: 'variable.other.property.qern' },
              2: { name: 'keyword.operator.optional.qern' },
              3: { name: 'punctuation.separator.key-value.qern' },
              4: { patterns: [{ include: '#type' }] },
            },
          },
          { match: ',', name: 'punctuation.separator.comma.qern' },
          { include: '#block' },
          { include: '#type' },
        ],
      },

      type: {
        patterns: [
          {
            begin: String.raw`\b(list)(<)`,
            end: String.raw`(>)|$`,
            name: 'meta.type.list.qern',
            beginCaptures: {
              1: { name: 'support.type.list.qern' },
              2: { name: 'punctuation.definition.typeparameters.begin.qern' },
            },
            endCaptures: { 1: { name: 'punctuation.definition.typeparameters.end.qern' } },
            patterns: [{ include: '#comment' }, { include: '#type' }, { include: '#string' }],
          },
          {
            match: String.raw`\b(time)(::)(?:${TIME_MEMBERS.join('|')})${TYPE_END}`,
            name: 'support.type.time.qern',
            captures: { 2: { name: 'punctuation.separator.namespace.qern' } },
          },
          {
            match: String.raw`\b(math)(::)(?:${MATH_MEMBERS.join('|')})${TYPE_END}`,
            name: 'support.type.math.qern',
            captures: { 2: { name: 'punctuation.separator.namespace.qern' } },
          },
          {
            match: String.raw`\b(physics)(::)${UNIT_ALTERNATION}${TYPE_END}`,
            name: 'support.type.physics.qern',
            captures: { 2: { name: 'punctuation.separator.namespace.qern' } },
          },
          {
            match: String.raw`\b(?:${PRIMITIVES.join('|')})${TYPE_END}`,
            name: 'support.type.primitive.qern',
          },
          // An alias, a schema, or a name no family knows.
          {
            match: String.raw`(?:[^\s,<>{}\[\]=#'"]|${HASH_TEXT})+`,
            name: 'entity.name.type.qern',
          },
        ],
      },

      assignment: {
        patterns: [
          {
            begin: String.raw`${LINE_START}((?:${KEY_PIECE})+?)\s*(=)\s*`,
            end: '$',
            beginCaptures: {
              1: { name: 'variable.other.key.qern' },
              2: { name: 'keyword.operator.assignment.qern' },
            },
            patterns: [{ include: '#value' }],
          },
          assignmentOpenQuote("'"),
          assignmentOpenQuote('"'),
          {
            begin: String.raw`^\s*(=)\s*`,
            end: '$',
            beginCaptures: { 1: { name: 'invalid.illegal.empty-key.qern' } },
            patterns: [{ include: '#value' }],
          },
          // Text with no '=' at all before the end of the line or a comment.
          {
            match: String.raw`${LINE_START}((?:${KEY_PIECE})+(?:'[^'\n]*|"[^"\n]*)?)(?=$|(?<=[ \t\f\r])#(?:${BLANK}|$))`,
            captures: { 1: { name: 'invalid.illegal.missing-assignment.qern' } },
          },
          // Anything else (brackets nested in a key, say): quotes still hide a '#'.
          {
            begin: String.raw`^(?=\s*\S)`,
            end: '$',
            patterns: [{ include: '#comment' }, { include: '#string' }],
          },
        ],
      },

      // What follows '='. Only a value that starts with '[' or '{' is a list or an
      // object; numbers and the like are marked when they are the whole value.
      value: {
        patterns: [
          { include: '#comment' },
          list(String.raw`\G`),
          object(String.raw`\G`),
          ...scalars(String.raw`\G`, VALUE_END, { vector: true }),
          { include: '#string' },
          { match: String.raw`[^\s'"]+`, name: 'string.unquoted.qern' },
        ],
      },

      list: list(''),
      object: object(''),

      'list-item': {
        patterns: [
          { include: '#comment' },
          { include: '#list' },
          { include: '#object' },
          { match: ',', name: 'punctuation.separator.comma.qern' },
          ...scalars(String.raw`(?<=[\[,])\s*`, itemEnd(String.raw`\]`)),
          { include: '#string' },
          { match: String.raw`[^\s,\[\]{}'"]+`, name: 'string.unquoted.qern' },
        ],
      },

      // In an inline object the first ':' or '=' of each member separates key and value.
      'object-member': {
        patterns: [
          { include: '#comment' },
          { match: ',', name: 'punctuation.separator.comma.qern' },
          {
            begin: String.raw`((?:${MEMBER_KEY_PIECE})(?:\s*(?:${MEMBER_KEY_PIECE}))*)\s*(?:(=)|(:))`,
            end: String.raw`(?=[,}])|$`,
            beginCaptures: {
              1: { name: 'variable.other.key.qern' },
              2: { name: 'keyword.operator.assignment.qern' },
              3: { name: 'punctuation.separator.key-value.qern' },
            },
            patterns: [
              { include: '#comment' },
              ...scalars(String.raw`\G\s*`, itemEnd('}')),
              { include: '#list' },
              { include: '#object' },
              { include: '#string' },
              { match: String.raw`[^\s,\[\]{}'"]+`, name: 'string.unquoted.qern' },
            ],
          },
          { include: '#string' },
        ],
      },
    },
  };
}

function render() {
  return JSON.stringify(buildGrammar(), null, 2) + '\n';
}

module.exports = { buildGrammar, render, UNITS };

if (require.main === module) {
  const out = path.join(__dirname, '..', 'syntaxes', 'qern.tmLanguage.json');
  fs.writeFileSync(out, render());
  console.log(`wrote ${path.relative(process.cwd(), out)}`);
}
